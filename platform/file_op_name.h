// The name of a file operation, as tests print it (the FileSystem member
// that asks the fault hook).
#ifndef OVN8_PLATFORM_FILE_OP_NAME_H_
#define OVN8_PLATFORM_FILE_OP_NAME_H_

#include "platform/file_system.h"

inline const char* file_op_name(FileOp op) {
  switch (op) {
    case FileOp::CreateFile:
      return "CreateFile";
    case FileOp::ReadFile:
      return "ReadFile";
    case FileOp::WriteFile:
      return "WriteFile";
    case FileOp::SetFilePointer:
      return "SetFilePointer";
    case FileOp::SetEndOfFile:
      return "SetEndOfFile";
    case FileOp::GetFileTime:
      return "GetFileTime";
    case FileOp::SetFileTime:
      return "SetFileTime";
    case FileOp::CloseHandle:
      return "CloseHandle";
    case FileOp::GetFileSize:
      return "GetFileSize";
    case FileOp::GetTempPath:
      return "GetTempPath";
    case FileOp::GetTempFileName:
      return "GetTempFileName";
    case FileOp::GetFreeSpaceTmpDir:
      return "GetFreeSpaceTmpDir";
    case FileOp::CreateDirectory:
      return "CreateDirectory";
    case FileOp::RemoveDirectory:
      return "RemoveDirectory";
    case FileOp::MoveFile:
      return "MoveFile";
    case FileOp::DeleteFile:
      return "DeleteFile";
    case FileOp::LockFileEx:
      return "LockFileEx";
    case FileOp::UnlockFileEx:
      return "UnlockFileEx";
    case FileOp::FlushFileBuffers:
      return "FlushFileBuffers";
    case FileOp::FlushDirectory:
      return "FlushDirectory";
    case FileOp::FlushFileSystem:
      return "FlushFileSystem";
    case FileOp::MoveFileEx:
      return "MoveFileEx";
    case FileOp::GetFileStatus:
      return "GetFileStatus";
    case FileOp::CreateOneDirectory:
      return "CreateOneDirectory";
    case FileOp::RemoveEmptyDirectory:
      return "RemoveEmptyDirectory";
    case FileOp::SetPathTimes:
      return "SetPathTimes";
    case FileOp::CheckAccess:
      return "CheckAccess";
    case FileOp::SetFileMode:
      return "SetFileMode";
    case FileOp::SetFileOwner:
      return "SetFileOwner";
    case FileOp::CreateHardLink:
      return "CreateHardLink";
    case FileOp::GetFinalPathName:
      return "GetFinalPathName";
    case FileOp::CreateTempDirectory:
      return "CreateTempDirectory";
    case FileOp::CreateUnnamedFile:
      return "CreateUnnamedFile";
    case FileOp::LinkUnnamedFile:
      return "LinkUnnamedFile";
    case FileOp::GetHandleStatus:
      return "GetHandleStatus";
    case FileOp::ReadLink:
      return "ReadLink";
    case FileOp::GetFreeSpace:
      return "GetFreeSpace";
    case FileOp::MapFile:
      return "MapFile";
    case FileOp::ListDirectory:
      return "ListDirectory";
    case FileOp::GetCurrentDirectory:
      return "GetCurrentDirectory";
    case FileOp::SetPathMode:
      return "SetPathMode";
    case FileOp::StartWriteBack:
      return "StartWriteBack";
  }
  return "?";
}

#endif  // OVN8_PLATFORM_FILE_OP_NAME_H_

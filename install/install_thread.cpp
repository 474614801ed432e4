#include "install/install_thread.h"

InstallThread::InstallThread()
    : worker_(nullptr), stop_(false), thread_(), startResult_(-1), joinable_(false) {}

InstallThread::~InstallThread() { join(); }

int InstallThread::start(InstallWorker* worker) {
  join();
  stop_ = false;
  worker_ = worker;
  startResult_ = -1;
  pthread_attr_t attributes;
  int result = pthread_attr_init(&attributes);
  if (result != 0) return result;
  result = pthread_create(&thread_, &attributes, &InstallThread::thread_func, this);
  pthread_attr_destroy(&attributes);
  joinable_ = result == 0;
  startResult_ = result;
  return result;
}

void InstallThread::stop() { stop_ = true; }

void InstallThread::join() {
  if (!joinable_) return;
  pthread_join(thread_, nullptr);
  joinable_ = false;
}

void* InstallThread::thread_func(void* self) {
  InstallThread* thread = static_cast<InstallThread*>(self);
  while (!thread->stop_ && thread->worker_ != nullptr && thread->worker_->updateProgress()) {
  }
  return nullptr;
}

// The picture data itself is generated; the declarations in pictures.h give
// it external linkage.
#include "resources/pictures.h"

#include "resources/pictures_xpm.h"

// The FUSE version the mount is written against, and its header.
#pragma once

#define FUSE_USE_VERSION 35
#include <fuse.h>

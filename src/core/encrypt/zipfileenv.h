// minizip's file functions over a FileEnv, so that a zip archive is opened, read and
// seeked through the env like every other file. Reading only: an open for writing
// fails, as the callers never write zip archives.
#pragma once

#include <minizip/ioapi.h>

#include "platform/fileenv.h"

// Fills *funcs for unzOpen2_64; env must outlive every archive opened with them.
void FillZipFileFuncs(zlib_filefunc64_def* funcs, FileEnv* env);

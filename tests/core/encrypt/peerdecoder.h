// The encrypted-file formats read and written without our code: see support/peercodec.h.
#pragma once

#include "support/peercodec.h"

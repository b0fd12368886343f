// The library's general routines under their published unit name: one include
// for all of them. Each topic has its own unit, and new code includes the one
// it uses: qvMailDate.h (mail dates and time zones), qvBinaryData.h (the owned
// byte buffer), qvStringsUtils.h (lines to and from streams), qvTextSplit.h
// (quoting, splitting, words, searching), qvByteUtils.h (byte and big-endian
// helpers), qvFileUtils.h (folders and file times), qvSystemUtils.h (the
// current user). Contracts, threads and errors are in each topic header.
#pragma once

#include "qvBinaryData.h"
#include "qvByteUtils.h"
#include "qvFileUtils.h"
#include "qvMailDate.h"
#include "qvStringsUtils.h"
#include "qvSystemUtils.h"
#include "qvTextSplit.h"

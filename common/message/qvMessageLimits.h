// Named limits of the message model: how deep parsed MIME parts may nest
// before a deeper multipart is kept as an opaque attachment, and the longest
// uuencode file name or Received date text the parser reads.
#pragma once

constexpr int kMaxMimeDepth = 32;
constexpr int kMaxUUFileName = 1000;
constexpr int kMaxReceivedDateText = 1000;

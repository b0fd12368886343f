// The registry through which DKIM makes its algorithms by the names in the
// tags: "sha1", "sha256", "rsa-sha1", "rsa-sha256", "simple", "relaxed" and
// "rsa" (the key). Not locked: one owner, one thread.
#pragma once

#include "qvConfig.h"

class TqvDkimConfig : public TqvConfig {
 public:
  TqvDkimConfig();
  VX_CLASS_NAME("TqvDkimConfig")
};

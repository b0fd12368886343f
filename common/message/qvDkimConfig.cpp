#include "qvDkimConfig.h"

#include "qvCryptHash.h"
#include "qvCryptSignature.h"
#include "qvDkimCanonicalizer.h"

TqvDkimConfig::TqvDkimConfig() {
  SetType("sha1", &CreateConfigObject<TqvSha1>);
  SetType("sha256", &CreateConfigObject<TqvSha256>);
  SetType("rsa-sha1", &CreateConfigObject<TqvSignatureRsaSha1>);
  SetType("rsa-sha256", &CreateConfigObject<TqvSignatureRsaSha256>);
  SetType("simple", &CreateConfigObject<TqvDkimSimpleCanonicalizer>);
  SetType("relaxed", &CreateConfigObject<TqvDkimRelaxedCanonicalizer>);
  SetType("rsa", &CreateConfigObject<TqvCryptApiRsaKey>);
}

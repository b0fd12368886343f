// DKIM canonicalisation (RFC 6376 section 3.4) of a message held as lines
// (header fields, one empty line, the body): "simple" and "relaxed" forms of
// header fields and of the body, as the bytes that are hashed. Repeated
// header names take their instances from the bottom up. Absent fields add
// nothing; nothing raises. Objects are made per use, one thread each; the
// lines are only read.
#pragma once

#include <string>
#include <string_view>

#include "ClassCore.h"
#include "qvConfig.h"
#include "qvDkimUtils.h"

class TStrings;

class TqvDkimCanonicalizer : public TqvConfigObject {
 public:
  VX_CLASS_NAME("TqvDkimCanonicalizer")
  [[nodiscard]] virtual std::string CanonicalizeBodyLine(std::string_view ALine) const = 0;
  // Ends with CR LF; "" for an index outside the list.
  [[nodiscard]] virtual std::string CanonicalizeHeaderValue(const TqvDkimHeaderFieldList& AList, int AIndex) const = 0;
  [[nodiscard]] virtual std::string CanonicalizeHeaderName(std::string_view AName) const = 0;
  // Every body line ended by CR LF, trailing empty lines removed.
  [[nodiscard]] virtual std::string CanonicalizeBody(const TStrings& ALines) const;
  // The named fields in the order of the names, each "name:value" CR LF.
  [[nodiscard]] virtual std::string CanonicalizeHeaders(const TStrings& ALines, const TStrings& ANames) const;
  [[nodiscard]] std::string CanonicalizeHeader(const TStrings& ALines, std::string_view AName) const;
  // One field of an already parsed list.
  [[nodiscard]] std::string CanonicalizeField(const TqvDkimHeaderFieldList& AList, int AIndex) const;

 protected:
  // What an empty body canonicalises to.
  [[nodiscard]] virtual std::string EmptyBody() const = 0;
};

class TqvDkimSimpleCanonicalizer : public TqvDkimCanonicalizer {
 public:
  VX_CLASS_NAME("TqvDkimSimpleCanonicalizer")
  [[nodiscard]] std::string CanonicalizeBodyLine(std::string_view ALine) const override;
  [[nodiscard]] std::string CanonicalizeHeaderValue(const TqvDkimHeaderFieldList& AList, int AIndex) const override;
  [[nodiscard]] std::string CanonicalizeHeaderName(std::string_view AName) const override;

 protected:
  [[nodiscard]] std::string EmptyBody() const override { return "\r\n"; }
};

// An empty body is the empty string here, as RFC 6376 says.
class TqvDkimRelaxedCanonicalizer : public TqvDkimCanonicalizer {
 public:
  VX_CLASS_NAME("TqvDkimRelaxedCanonicalizer")
  [[nodiscard]] std::string CanonicalizeBodyLine(std::string_view ALine) const override;
  [[nodiscard]] std::string CanonicalizeHeaderValue(const TqvDkimHeaderFieldList& AList, int AIndex) const override;
  [[nodiscard]] std::string CanonicalizeHeaderName(std::string_view AName) const override;

 protected:
  [[nodiscard]] std::string EmptyBody() const override { return {}; }
};

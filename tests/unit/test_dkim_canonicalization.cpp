// DKIM canonicalisation and tag reading: the RFC 6376 example, empty bodies,
// bottom-up instances, DKIM quoted-printable, tags found only where they
// start, and agreement with python3-dkim's canonicalisation.
#include <gtest/gtest.h>

#include "PythonOracle.h"
#include "StringList.h"
#include "qvDkimCanonicalizer.h"
#include "qvDkimUtils.h"

namespace {

std::string Headers(const TqvDkimCanonicalizer& ACanon, const std::string& AMessage,
                    std::initializer_list<const char*> ANames) {
  TStringList lines, names;
  lines.SetText(AMessage);
  for (const char* n : ANames) names.Add(n);
  return ACanon.CanonicalizeHeaders(lines, names);
}

std::string Body(const TqvDkimCanonicalizer& ACanon, const std::string& AMessage) {
  TStringList lines;
  lines.SetText(AMessage);
  return ACanon.CanonicalizeBody(lines);
}

}  // namespace

TEST(DkimCanonicalization, Rfc6376Example) {
  const std::string msg = "A: X\r\nB : Y\t\r\n\t Z  \r\n\r\n C \r\nD \t E\r\n\r\n\r\n";
  TqvDkimRelaxedCanonicalizer relaxed;
  TqvDkimSimpleCanonicalizer simple;
  EXPECT_EQ(Headers(relaxed, msg, {"a", "b"}), "a:X\r\nb:Y Z\r\n");
  EXPECT_EQ(Headers(simple, msg, {"a", "b"}), "A: X\r\nB : Y\t\r\n\t Z  \r\n");
  EXPECT_EQ(Body(relaxed, msg), " C\r\nD E\r\n");
  EXPECT_EQ(Body(simple, msg), " C \r\nD \t E\r\n");
}

TEST(DkimCanonicalization, BodiesAndFieldValues) {
  TqvDkimRelaxedCanonicalizer relaxed;
  TqvDkimSimpleCanonicalizer simple;
  // Empty bodies: simple gives one CR LF, relaxed the empty string; a
  // message without the header's empty line has no body at all.
  for (const char* m : {"A: 1\r\n\r\n", "A: 1\r\n\r\n\r\n\r\n", "A: 1\r\n"}) {
    EXPECT_EQ(Body(simple, m), "\r\n") << m;
    EXPECT_EQ(Body(relaxed, m), "") << m;
  }
  EXPECT_EQ(Body(relaxed, "A: 1\r\n\r\n \t \r\n\r\n"), "");
  EXPECT_EQ(Body(simple, "A: 1\r\n\r\na\r\n\r\n\r\n"), "a\r\n");
  EXPECT_EQ(Body(relaxed, "A: 1\r\n\r\nx \t y \t\r\n"), "x y\r\n");
  // A message that starts with the empty line: the body follows it.
  EXPECT_EQ(Body(simple, "\r\nfirst\r\n"), "first\r\n");

  EXPECT_EQ(Headers(relaxed, "Subject:  Hello   World  \r\n\r\n", {"subject"}), "subject:Hello World\r\n");
  EXPECT_EQ(Headers(relaxed, "Subject: a\r\n b\r\n\r\n", {"subject"}), "subject:a b\r\n");
  EXPECT_EQ(Headers(simple, "Subject:  Hello   World  \r\n\r\n", {"SUBJECT"}), "Subject:  Hello   World  \r\n");
  EXPECT_EQ(Headers(simple, "Subject: a\r\n b\r\n\r\n", {"subject"}), "Subject: a\r\n b\r\n");
  EXPECT_EQ(Headers(simple, "A: 1\r\n\r\n", {"missing", "a"}), "A: 1\r\n");
}

TEST(DkimCanonicalization, RepeatedNamesTakeInstancesFromTheBottom) {
  const std::string msg = "Received: 1\r\nX: x\r\nReceived: 2\r\nReceived: 3\r\n\r\nbody\r\n";
  TqvDkimRelaxedCanonicalizer relaxed;
  EXPECT_EQ(Headers(relaxed, msg, {"received", "x", "received"}), "received:3\r\nx:x\r\nreceived:2\r\n");
  EXPECT_EQ(Headers(relaxed, msg, {"x", "x", "received"}), "x:x\r\nreceived:3\r\n");

  TStringList lines;
  lines.SetText(msg);
  TqvDkimHeaderFieldList list;
  list.Parse(0, &lines);
  EXPECT_EQ(list.NextFieldIndex(" Received "), 3);
  EXPECT_EQ(list.NextFieldIndex("received"), 2);
  EXPECT_EQ(list.NextFieldIndex("received"), 0);
  EXPECT_EQ(list.NextFieldIndex("received"), -1);
  list.ResetInstances();
  EXPECT_EQ(list.NextFieldIndex("RECEIVED"), 3);
}

TEST(DkimQuotedPrintable, EncodesAndDecodes) {
  using QP = TqvDkimQuotedPrintableEncoder;
  EXPECT_EQ(QP::Encode(""), "");
  EXPECT_EQ(QP::Encode("a b;c=d|e:f\x01\xE9"), "a=20b=3Bc=3Dd|e:f=01=E9");
  EXPECT_EQ(QP::Decode("a=20b=3Bc=3Dd"), "a b;c=d");
  EXPECT_EQ(QP::Decode("=3d=7c"), "=|");
  // Malformed escapes stay whole; a cut-off escape at the end is dropped.
  EXPECT_EQ(QP::Decode("=3G=x==41"), "=3G=x==41");
  EXPECT_EQ(QP::Decode("ab=4"), "ab");
  EXPECT_EQ(QP::Decode("ab="), "ab");
}

TEST(DkimHeaderFieldList, TagsMatchOnlyWhereTheyStart) {
  TqvDkimHeaderFieldList list;
  const std::string value = "v=1; bh=abcdh=A=; h=From:To; b=xyzQ=; i='me'@x; s= sel ;a=rsa-sha256";
  EXPECT_EQ(list.GetItem(value, "h"), "From:To");
  EXPECT_EQ(list.GetItem(value, "bh"), "abcdh=A=");
  EXPECT_EQ(list.GetItem(value, "b"), "xyzQ=");
  EXPECT_EQ(list.GetItem(value, "i"), "'me'@x");
  EXPECT_EQ(list.GetItem(value, "s"), "sel");
  EXPECT_EQ(list.GetItem(value, "a"), "rsa-sha256");
  EXPECT_EQ(list.GetItem(value, "A"), "rsa-sha256");
  EXPECT_EQ(list.GetItem(value, "Q"), "");
  EXPECT_EQ(list.GetItem(value, "d"), "");

  // Editing the b tag of a folded field leaves bh alone.
  TStringList lines;
  lines.SetText("DKIM-Signature: v=1; bh=xb=;\r\n\tb=AAAA\r\n\tBBBB; d=x\r\nFrom: a\r\n\r\n");
  list.Parse(0, &lines);
  EXPECT_EQ(list.GetTrimmedFieldValue(0), "v=1; bh=xb=;b=AAAABBBB; d=x");
  list.ClearFieldItemValue(0, "b");
  EXPECT_EQ(lines.Text(), "DKIM-Signature: v=1; bh=xb=;\r\n\tb=; d=x\r\nFrom: a\r\n\r\n");
  list.RemoveFieldItem(0, "b");
  EXPECT_EQ(lines.Strings(0) + "|" + lines.Strings(1), "DKIM-Signature: v=1; bh=xb=; d=x|From: a");
}

TEST(DkimCanonicalization, AgreesWithPythonDkim) {
  const std::string msg =
      "From: Joe  <joe@example.com>\r\nTo: x@example.org,\r\n\ty@example.org\r\nSubject:\tHi   there \r\n"
      "Date: Mon, 7 Dec 2026 10:00:00 +0000\r\n\r\n  Hello\t\tworld  \r\n\r\nline\r\n \r\n\r\n";
  const std::string script = R"(
import sys, dkim
from dkim.canonicalization import Simple, Relaxed
msg = open(sys.argv[1], "rb").read()
headers, body = dkim.rfc822_parse(msg)
out = b""
for c in (Simple, Relaxed):
    for name, value in c.canonicalize_headers(headers):
        out += name + b":" + value
    out += b"|" + c.canonicalize_body(body) + b"|"
open(sys.argv[2], "wb").write(out)
)";
  const std::string expected = testsupport::RunPython(script, msg);
  ASSERT_NE(expected, "<failed>");
  TqvDkimSimpleCanonicalizer simple;
  TqvDkimRelaxedCanonicalizer relaxed;
  std::string ours;
  for (const TqvDkimCanonicalizer* c : {static_cast<const TqvDkimCanonicalizer*>(&simple),
                                        static_cast<const TqvDkimCanonicalizer*>(&relaxed)})
    ours += Headers(*c, msg, {"from", "to", "subject", "date"}) + "|" + Body(*c, msg) + "|";
  EXPECT_EQ(ours, expected);
}

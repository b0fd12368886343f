// DKIM-Signature fields and key records: parsing rules and errors, the built
// layout (checked with python3-dkim's tag parser), key records both ways.
#include <gtest/gtest.h>

#include "PythonOracle.h"
#include "qvDkimKey.h"
#include "qvDkimSignature.h"
#include "qvDkimUtils.h"

namespace {

int ParseCode(const std::string& AValue) {
  TqvDkimSignature sig;
  try {
    sig.Parse(AValue);
  } catch (const EqvDkimError& e) {
    return e.ErrorCode;
  }
  return 0;
}

const std::string kBase = "a=rsa-sha256; d=example.com; s=sel; h=From:To; bh=Ym9keQ==; b=c2ln";

void Fill(TqvDkimSignature& ASig) {
  ASig.Version = 1;
  ASig.SignatureAlgorithm = "rsa-sha256";
  ASig.Domain = "example.com";
  ASig.Selector = "sel";
  ASig.BodyHash = "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=";
  for (const char* h : {"From", "To", "Subject", "Date", "Message-ID", "MIME-Version", "Content-Type",
                        "Content-Transfer-Encoding", "Reply-To", "Cc", "In-Reply-To", "References"})
    ASig.SignedHeaderFields.Add(h);
}

}  // namespace

TEST(DkimSignatureField, ParsesTagsAndRefusesBadOnes) {
  TqvDkimSignature sig;
  sig.Parse("v=2; " + kBase + "; c=relaxed/simple; l=10; i=joe=40example.com; t=123456789012345; "
            "z=From:a=7Cb|Subject:x=0D=0A=20y");
  EXPECT_EQ(sig.Version, 2);
  EXPECT_EQ(sig.SignedHeaderFields.Text(), "From\r\nTo\r\n");
  EXPECT_EQ(sig.GetHeaderCanonicalization(), "relaxed");
  EXPECT_EQ(sig.GetBodyCanonicalization(), "simple");
  EXPECT_EQ(sig.GetHashAlgorithm(), "sha256");
  EXPECT_EQ(sig.BodyLength, 10);
  EXPECT_EQ(sig.UserIdentity, "joe@example.com");
  EXPECT_EQ(DateTimeToUnix(LocalToUTC(sig.SignatureTimestamp)), 123456789012);
  EXPECT_EQ(sig.CopiedHeaderFields.Text(), "From:a|b\r\nSubject:x\r\n y\r\n");
  EXPECT_EQ(sig.BodyHash, "Ym9keQ==");
  EXPECT_EQ(sig.Signature, "c2ln");

  // One word names the header's algorithm; the body's is then simple.
  sig.Parse("v=1; " + kBase + "; c=relaxed");
  EXPECT_EQ(sig.GetHeaderCanonicalization() + "/" + sig.GetBodyCanonicalization(), "relaxed/simple");
  sig.Parse("v=1; " + kBase + "; c=simple/relaxed");
  EXPECT_EQ(sig.GetHeaderCanonicalization() + "/" + sig.GetBodyCanonicalization(), "simple/relaxed");
  sig.Parse("v=1; " + kBase);
  EXPECT_EQ(sig.GetHeaderCanonicalization() + sig.GetBodyCanonicalization(), "simplesimple");
  for (const char* a : {"rsa", "rsa-sha256-x"}) {
    sig.SignatureAlgorithm = a;
    EXPECT_THROW((void)sig.GetHashAlgorithm(), EqvDkimError) << a;
  }

  EXPECT_EQ(ParseCode(kBase), kDkimInvalidFormat);
  EXPECT_EQ(ParseCode("v=x; " + kBase), kDkimInvalidFormat);
  EXPECT_EQ(ParseCode("v=1; " + kBase + "; l=-5"), kDkimInvalidFormat);
  EXPECT_EQ(ParseCode("v=1; " + kBase + "; l="), 0);
  EXPECT_EQ(ParseCode("v=1; a=rsa-sha256; d=example.com; h=From; bh=x"), kDkimInvalidFormat);
  // bh before h, as some signers write it.
  EXPECT_EQ(ParseCode("v=1; a=rsa-sha256; bh=aGVsbG8h; d=x.org; s=s; h=From:Subject; b=AA=="), 0);
}

TEST(DkimSignatureField, BuildsAFieldOtherVerifiersRead) {
  TqvDkimSignature sig;
  Fill(sig);
  sig.CopiedHeaderFields.Add("From: a|b <a@example.com>");
  sig.CopiedHeaderFields.Add("Subject: one;");
  sig.CopiedHeaderFields.Add("\ttwo");
  TStringList lines;
  lines.SetText("From: a@example.com\r\n\r\nbody\r\n");
  sig.Build(lines, 76);
  // The empty b tag stands alone on the field's last line.
  int last = 0;
  while (lines.Strings(last + 1).size() > 0 && lines.Strings(last + 1)[0] == '\t') ++last;
  EXPECT_EQ(lines.Strings(last), "\tb=");
  for (int i = 0; i <= last; ++i) EXPECT_LE(lines.Strings(i).size(), 76u) << lines.Strings(i);

  sig.Signature = std::string(300, 'Q');
  sig.SetSignatureValue(lines, 76);
  EXPECT_EQ(lines.Strings(last).substr(0, 3), "\tb=");
  EXPECT_EQ(lines.Strings(last + 1)[0], '\t');

  std::string field;
  for (int i = 0; lines.Strings(i) != "From: a@example.com"; ++i) field += lines.Strings(i) + "\r\n";
  const std::string tags = testsupport::RunPython(R"(
import sys
from dkim.util import parse_tag_value
v = open(sys.argv[1], "rb").read().split(b":", 1)[1]
t = parse_tag_value(v)
out = [t[b"d"], t[b"s"], t[b"a"], b":".join(x.strip() for x in t[b"h"].split(b":")),
       b"".join(t[b"b"].split()), t[b"z"]]
open(sys.argv[2], "wb").write(b"\n".join(out))
)",
                                                  field);
  ASSERT_NE(tags, "<failed>");
  std::string h = "From:To:Subject:Date:Message-ID:MIME-Version:Content-Type:Content-Transfer-Encoding:"
                  "Reply-To:Cc:In-Reply-To:References";
  EXPECT_EQ(tags, "example.com\nsel\nrsa-sha256\n" + h + "\n" + std::string(300, 'Q') +
                      "\nFrom:=20a=7Cb=20<a@example.com>|Subject:=20one=3B=0D=0A=09two");

  // Parsing our own field gives the copied fields back.
  TqvDkimHeaderFieldList list;
  list.Parse(0, &lines);
  TqvDkimSignature back;
  back.Parse(list.GetFieldValue(0));
  EXPECT_EQ(back.CopiedHeaderFields.Text(), "From: a|b <a@example.com>\r\nSubject: one;\r\n\ttwo\r\n");
  EXPECT_EQ(back.SignedHeaderFields.Count(), 12);
}

TEST(DkimSignatureField, BuildRefusesMissingParameters) {
  const auto buildCode = [](auto AChange, int& ALinesAfter) {
    TqvDkimSignature sig;
    Fill(sig);
    AChange(sig);
    TStringList lines;
    lines.SetText("From: a\r\n\r\nb\r\n");
    ALinesAfter = 0;
    try {
      sig.Build(lines, 76);
    } catch (const EqvDkimError& e) {
      ALinesAfter = lines.Count();
      return e.ErrorCode;
    }
    return 0;
  };
  int after = 0;
  EXPECT_EQ(buildCode([](TqvDkimSignature& s) { s.Selector.clear(); }, after), kDkimInvalidParams);
  EXPECT_EQ(after, 4);  // the field stays, as far as it was built
  EXPECT_EQ(buildCode([](TqvDkimSignature& s) { s.SignatureExpiration = s.SignatureTimestamp = 46000; }, after),
            kDkimInvalidParams);
  EXPECT_EQ(buildCode([](TqvDkimSignature& s) { s.SignedHeaderFields.Delete(0); }, after), kDkimInvalidParams);
  EXPECT_EQ(buildCode([](TqvDkimSignature& s) { s.Version = -1; }, after), kDkimInvalidParams);
  EXPECT_EQ(buildCode([](TqvDkimSignature&) {}, after), 0);

  TqvDkimSignature sig;
  Fill(sig);
  TStringList lines;
  EXPECT_THROW(sig.SetSignatureValue(lines, 76), EqvDkimError);
}

TEST(DkimKeyRecord, ParsesAndBuilds) {
  TqvDkimKey key;
  key.Parse("v=DKIM1; k=rsa; t=y:s:x; s=email:Email; h=sha1 : sha256; n=a=20note; p=");
  EXPECT_EQ(key.Version, "DKIM1");
  EXPECT_EQ(key.KeyType, "rsa");
  EXPECT_TRUE(key.PublicKey.empty());
  EXPECT_EQ(key.Flags, (TqvDkimKeyFlags{ddfTestingDomain, ddfCheckUserIdentityDomain}));
  EXPECT_EQ(key.ServiceType, (TqvDkimKeyServiceTypes{ddsEmail}));
  EXPECT_EQ(key.AcceptableHashAlgorithms.Text(), "sha1\r\nsha256\r\n");
  EXPECT_EQ(key.Notes, "a note");
  std::string text;
  key.Build(text);
  EXPECT_EQ(text, "v=DKIM1; h=sha1:sha256; k=rsa; n=a=20note; s=email; t=y:s; p=");

  key.Parse("p=MIGf");
  EXPECT_TRUE(key.Version.empty());
  key.Build(text);
  EXPECT_EQ(text, "p=MIGf");
}

// The DKIM signer and verifier: round trips, tampering, key records and
// their refusals, verify modes, and signatures exchanged with python3-dkim
// and opendkim-testmsg on the same messages.
#include <gtest/gtest.h>

#include <map>

#include "DnsTestSupport.h"
#include "PythonOracle.h"
#include "qvCryptUtils.h"
#include "qvDkim.h"
#include "qvDkimUtils.h"
#include "qvEncoder.h"
#include "qvMailMessage.h"
#include "qvMessageBody.h"

namespace {

const std::string kKeyDir = std::string(VX_TEST_DATA_DIR) + "/dkim/";
const std::string kMessage =
    "From: Joe <joe@example.com>\r\nTo: ann@example.org\r\nSubject: Greetings  and\r\n\tmore\r\n"
    "Date: Mon, 7 Dec 2026 10:00:00 +0000\r\nMIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\n"
    "Hello  there \r\n\r\nsecond\tline\r\n\r\n";

TBytes FileBytes(const std::string& APath) {
  const std::string s = testsupport::ReadFileBytes(APath);
  return TBytes(s.begin(), s.end());
}

std::string PublicKeyBase64() {
  return TqvEncoder::EncodeBytesToLine(FileBytes(kKeyDir + "test-key-spki.der"), cmBase64);
}

// Keys come from a table instead of DNS.
class TestDkim : public TqvDkim {
 public:
  std::map<std::string, std::vector<std::string>> Records;
  std::vector<std::string> Asked;

 protected:
  std::vector<std::string> ResolveKeyRecords(const std::string& AName) override {
    Asked.push_back(AName);
    const auto it = Records.find(AName);
    return it == Records.end() ? std::vector<std::string>() : it->second;
  }
};

void LoadKey(TqvDkim& ADkim) { ADkim.RsaKey().SetRsaPrivateKey(FileBytes(kKeyDir + "test-key.der")); }

// The error code and text of a failed Verify; 0 and "" when it passed.
std::pair<int, std::string> VerifyResult(TqvDkim& ADkim, const TStrings& ALines) {
  try {
    ADkim.Verify(ALines);
  } catch (const EqvDkimError& e) {
    return {e.ErrorCode, e.Message()};
  } catch (const EqvCryptError& e) {
    return {e.ErrorCode, e.Message()};
  } catch (const Exception& e) {
    return {-1, e.Message()};
  }
  return {0, ""};
}

class DkimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Signer.SetDomain("example.com");
    Signer.SetSelector("sel");
    LoadKey(Signer);
    Verifier.Records["sel._domainkey.example.com"] = {"v=DKIM1; k=rsa; p=" + PublicKeyBase64()};
  }
  // The signed message's lines (valid until the next call).
  TStringList& Signed(const std::string& AMessage = kMessage) {
    FLines.SetText(AMessage);
    Signer.Sign(FLines);
    return FLines;
  }
  TestDkim Signer, Verifier;

 private:
  TStringList FLines;
};

}  // namespace

TEST_F(DkimTest, OwnSignaturesVerifyUnderEveryCanonicalization) {
  for (const char* c : {"", "simple/simple", "relaxed", "relaxed/simple", "simple/relaxed"}) {
    Signer.SetCanonicalization(c);
    for (const std::string& msg : {kMessage, std::string("From: a@example.com\r\n\r\n")}) {
      TStringList& lines = Signed(msg);
      EXPECT_EQ(VerifyResult(Verifier, lines).first, 0) << c << "\n" << lines.Text();
      ASSERT_EQ(Verifier.Signatures().Count(), 1);
      EXPECT_EQ(Verifier.Signatures()[0].VerifyStatus.Status, dvsVerified);
    }
  }
  EXPECT_EQ(Verifier.Asked.back(), "sel._domainkey.example.com");

  // The application may hand the key over itself.
  TqvDkim direct;
  direct.OnGetPublicKey = [](TObject*, TqvDkimSignature&, TBytes& AKey) {
    AKey = FileBytes(kKeyDir + "test-key-spki.der");
  };
  EXPECT_EQ(VerifyResult(direct, Signed()).first, 0);
}

TEST_F(DkimTest, ChangesAfterSigningAreCaught) {
  TStringList& lines = Signed();
  lines.SetStrings(lines.Count() - 2, "second line");
  EXPECT_EQ(VerifyResult(Verifier, lines), std::make_pair(-13, std::string("Body hash values differ")));
  EXPECT_EQ(Verifier.Signatures()[0].VerifyStatus.StatusCode, -13);

  Signed();
  const int subject = lines.IndexOf("Subject: Greetings  and");
  lines.SetStrings(subject, "Subject: Greetings and");
  const auto result = VerifyResult(Verifier, lines);
  EXPECT_EQ(static_cast<uint32_t>(result.first), plat::NTE_BAD_SIGNATURE);
  EXPECT_EQ(result.second, "Invalid Signature");

  // With l=10 only the first ten body bytes are covered.
  Signer.SetBodyLength(10);
  Signed();
  lines.Add("appended");
  EXPECT_EQ(VerifyResult(Verifier, lines).first, 0);
}

TEST_F(DkimTest, SigningTwiceSignsTheNewTopField) {
  TStringList& lines = Signed();
  Signer.SetSelector("two");
  Signer.SetCanonicalization("relaxed/relaxed");
  Signer.Sign(lines);
  Verifier.Records["two._domainkey.example.com"] = Verifier.Records["sel._domainkey.example.com"];
  Verifier.SetVerifyMode(dvmVerifyAll);
  EXPECT_EQ(VerifyResult(Verifier, lines).first, 0);
  ASSERT_EQ(Verifier.Signatures().Count(), 2);
  EXPECT_EQ(Verifier.Signatures()[0].Selector, "two");
  EXPECT_EQ(Verifier.Signatures()[0].VerifyStatus.Status, dvsVerified);
  EXPECT_EQ(Verifier.Signatures()[1].VerifyStatus.Status, dvsVerified);
}

TEST_F(DkimTest, KeyRecordsDecideWhichKeysCount) {
  const std::string p = "p=" + PublicKeyBase64();
  const TStringList& lines = Signed();
  int revoked = 0, received = 0;
  Verifier.OnKeyRevoked = [&](TObject*, TqvDkimSignature&, TqvDkimKey&) { ++revoked; };
  Verifier.OnKeyReceived = [&](TObject*, TqvDkimSignature&, TqvDkimKey&) { ++received; };
  const std::vector<std::pair<std::vector<std::string>, int>> cases = {
      {{"v=DKIM2; " + p}, kDkimInvalidKey},
      {{"k=dsa; " + p}, kDkimInvalidKey},
      {{"h=sha1; " + p}, kDkimInvalidKey},
      {{"s=foo; " + p}, kDkimInvalidKey},
      {{"v=DKIM1; p="}, kDkimKeyRevoked},
      {{}, kDkimKeyRequired},
      {{"k=dsa; " + p, "h=SHA1:SHA256; s=*; " + p}, 0},
      {{"t=s; s=email; " + p}, 0},
  };
  for (const auto& [records, code] : cases) {
    Verifier.Records["sel._domainkey.example.com"] = records;
    EXPECT_EQ(VerifyResult(Verifier, lines).first, code) << (records.empty() ? "" : records[0]);
  }
  EXPECT_EQ(revoked, 1);
  EXPECT_EQ(received, 2);
  // A key for some other algorithm is refused as the platform refuses it.
  Verifier.Records["sel._domainkey.example.com"] = {"p=MCowBQYDK2VwAyEAGb9ECWmEzf6FQbrBZ9w7lshQhqowtrbLDFw4rXAxZuE="};
  EXPECT_EQ(VerifyResult(Verifier, lines).second, "Invalid algorithm specified");
}

TEST_F(DkimTest, RfcMustsAreChecked) {
  Signer.SetUserIdentity("joe@mail.example.com");
  TStringList& lines = Signed();
  EXPECT_EQ(VerifyResult(Verifier, lines).first, 0);
  // t=s wants the identity's domain to be d= itself.
  Verifier.Records["sel._domainkey.example.com"][0] += "; t=s";
  EXPECT_EQ(VerifyResult(Verifier, lines).first, kDkimInvalidKey);

  const auto edited = [&](const std::string& AFrom, const std::string& ATo) {
    TStringList copy;
    copy.SetText(lines.Text());
    for (int i = 0; i < copy.Count(); ++i) {
      std::string s = copy.Strings(i);
      const size_t at = s.find(AFrom);
      if (at != std::string::npos) copy.SetStrings(i, s.replace(at, AFrom.size(), ATo));
    }
    return VerifyResult(Verifier, copy).first;
  };
  EXPECT_EQ(edited("i=joe@mail.example.com", "i=joe@example.org"), kDkimInvalidFormat);
  EXPECT_EQ(edited("h=Date:From:", "h=Date:Sender:"), kDkimInvalidFormat);
  EXPECT_EQ(edited("v=1;", "v=2;"), kDkimUnknownVersion);
  EXPECT_EQ(edited("a=rsa-sha256", "a=rsa-md5"), -1);
  EXPECT_EQ(Verifier.Signatures()[0].VerifyStatus.StatusText, "Unknown DKIM algorithm: md5");

  TqvDkim noKey;
  noKey.SetDomain("example.com");
  noKey.SetSelector("sel");
  TStringList plain;
  plain.SetText(kMessage);
  try {
    noKey.Sign(plain);
    FAIL() << "signed without a key";
  } catch (const EqvCryptError& e) {
    EXPECT_EQ(e.ErrorCode, -4);
  }
}

TEST_F(DkimTest, VerifyModesAndEvents) {
  TStringList& lines = Signed();
  Signer.SetSelector("gone");
  Signer.Sign(lines);  // on top, with no key published
  int events = 0;
  Verifier.OnVerify = [&](TObject*, TqvDkimSignature&, const TStrings&, TqvDkimSignatureVerifyStatus&) { ++events; };
  const std::vector<std::tuple<TqvDkimVerifyMode, int, int>> modes = {
      {dvmVerifyUntilFail, kDkimKeyRequired, 1}, {dvmVerifyUntilSuccess, 0, 2}, {dvmVerifyAll, 0, 2}};
  for (const auto& [mode, code, count] : modes) {
    events = 0;
    Verifier.SetVerifyMode(mode);
    EXPECT_EQ(VerifyResult(Verifier, lines).first, code) << mode;
    EXPECT_EQ(events, count) << mode;
    EXPECT_EQ(Verifier.Signatures()[0].VerifyStatus.Status, dvsFailed);
  }
  TStringList unsigned_;
  unsigned_.SetText(kMessage);
  EXPECT_EQ(VerifyResult(Verifier, unsigned_).first, 0);
  EXPECT_EQ(Verifier.Signatures().Count(), 0);
}

TEST_F(DkimTest, PythonDkimVerifiesOursAndWeVerifyItsSignatures) {
  const std::string dnsfunc = "lambda name, timeout=5: b'v=DKIM1; k=rsa; p=" + PublicKeyBase64() + "'";
  const std::string verify = "import sys, dkim\nmsg = open(sys.argv[1], 'rb').read()\n"
                             "ok = dkim.verify(msg, dnsfunc=" + dnsfunc + ")\n"
                             "open(sys.argv[2], 'w').write('ok' if ok else 'fail')\n";
  for (const char* c : {"simple/simple", "relaxed/relaxed", "relaxed/simple", "simple/relaxed"}) {
    Signer.SetCanonicalization(c);
    for (const std::string& msg : {kMessage, std::string("From: a@example.com\r\nSubject: x\r\n\r\n")}) {
      const TStringList& lines = Signed(msg);
      EXPECT_EQ(testsupport::RunPython(verify, lines.Text()), "ok") << c << "\n" << lines.Text();

      const std::string canon = std::string(c);
      const std::string head = canon.substr(0, canon.find('/')), body = canon.substr(canon.find('/') + 1);
      const std::string sign = "import sys, dkim\nmsg = open(sys.argv[1], 'rb').read()\n"
                               "key = open('" + kKeyDir + "test-key.pem', 'rb').read()\n"
                               "sig = dkim.sign(msg, b'sel', b'example.com', key, canonicalize=(b'" + head +
                               "', b'" + body + "'))\nopen(sys.argv[2], 'wb').write(sig + msg)\n";
      const std::string theirs = testsupport::RunPython(sign, msg);
      ASSERT_NE(theirs, "<failed>");
      TStringList their;
      their.SetText(theirs);
      EXPECT_EQ(VerifyResult(Verifier, their).first, 0) << theirs;
    }
  }
}

TEST_F(DkimTest, WeVerifyOpendkimSignatures) {
  const std::string emptyBody = "From: a@example.com\r\nSubject: x\r\nDate: Mon, 7 Dec 2026 10:00:00 +0000\r\n\r\n";
  for (const std::string& msg : {kMessage, emptyBody}) {
    const std::string signedText = testsupport::RunShell(
        "/usr/sbin/opendkim-testmsg -C -d example.com -s sel -k " + kKeyDir + "test-key.pem < $IN > $OUT", msg);
    ASSERT_NE(signedText, "<failed>");
    TStringList lines;
    lines.SetText(signedText);
    EXPECT_EQ(VerifyResult(Verifier, lines).first, 0) << signedText;
    ASSERT_EQ(Verifier.Signatures().Count(), 1);
    EXPECT_EQ(Verifier.Signatures()[0].SignatureAlgorithm, "rsa-sha1");
  }
}

TEST_F(DkimTest, MessagesSignWhenBuiltAndVerifyWhenParsed) {
  TqvMailMessage message;
  message.SetDkim(&Signer);
  message.From().SetFullAddress("Joe <joe@example.com>");
  message.ToList().AddFullAddress("ann@example.org");
  message.SetSubject("A subject long enough to be folded by the header writer of the message model, twice over");
  message.SetDate(46000.5);
  message.Bodies().Add<TqvTextBody>()->Strings().Add("Hello, signed world.");
  auto* second = message.Bodies().Add<TqvTextBody>();
  second->Strings().Add("Second part");
  const TStrings& source = message.MessageSource();
  ASSERT_TRUE(source.Strings(0).starts_with("DKIM-Signature:"));

  const std::string dnsfunc = "lambda name, timeout=5: b'p=" + PublicKeyBase64() + "'";
  EXPECT_EQ(testsupport::RunPython("import sys, dkim\nok = dkim.verify(open(sys.argv[1], 'rb').read(), dnsfunc=" +
                                       dnsfunc + ")\nopen(sys.argv[2], 'w').write(str(ok))\n",
                                   source.Text()),
            "True");

  TqvMailMessage parsed;
  parsed.SetDkim(&Verifier);
  parsed.SetMessageSource(source);
  ASSERT_EQ(Verifier.Signatures().Count(), 1);
  EXPECT_EQ(Verifier.Signatures()[0].VerifyStatus.Status, dvsVerified);

  TStringList tampered;
  tampered.Assign(source);
  tampered.SetStrings(tampered.IndexOf("Second part"), "Second party");
  TqvMailMessage bad;
  bad.SetDkim(&Verifier);
  EXPECT_THROW(bad.SetMessageSource(tampered), EqvDkimError);
}

TEST_F(DkimTest, KeysComeFromDnsWithTheirTxtStringsJoined) {
  // The key record in pieces of 200 bytes, as long keys are published.
  const std::string record = "v=DKIM1; k=rsa; p=" + PublicKeyBase64();
  std::string rdata;
  for (size_t at = 0; at < record.size(); at += 200) {
    const std::string piece = record.substr(at, 200);
    rdata += static_cast<char>(piece.size()) + piece;
  }
  testsupport::TFakeDnsServer server([&](const std::string& AQuery) {
    if (testsupport::QueryName(AQuery) != "sel._domainkey.example.com")
      return std::vector<testsupport::TDnsDatagram>{{testsupport::DnsReply(AQuery, nullptr, 3)}};
    std::string reply = testsupport::DnsReply(AQuery, [](TqvDnsMessage& M) {
      testsupport::AddRecord<TqvDnsTXTRecord>(M.Answers, "sel._domainkey.example.com").Text = "X";
    });
    // The writer puts one string; the last record's RDATA becomes the pieces.
    reply.resize(reply.size() - 4);
    reply += static_cast<char>(rdata.size() >> 8);
    reply += static_cast<char>(rdata.size() & 0xFF);
    reply += rdata;
    return std::vector<testsupport::TDnsDatagram>{{reply}};
  });
  TqvDkim dkim;
  dkim.DnsQuery().SetServer("127.0.0.1");
  dkim.DnsQuery().SetPort(server.Port());
  dkim.DnsQuery().SetTimeOut(2000);
  EXPECT_EQ(VerifyResult(dkim, Signed()).first, 0);
  ASSERT_EQ(server.Queries().size(), 1u);

  // A name the server does not know fails that signature with the DNS error.
  Signer.SetSelector("other");
  EXPECT_THROW(dkim.Verify(Signed()), EqvDnsError);
  EXPECT_EQ(dkim.Signatures()[0].VerifyStatus.StatusCode, -1);
  EXPECT_FALSE(dkim.Signatures()[0].VerifyStatus.StatusText.empty());
}

namespace {

// The two test keys: "k1024" and "k2048" under example.com.
struct TPeerKey {
  std::string Selector, Pem;
};
const std::vector<TPeerKey> kPeerKeys = {{"k1024", kKeyDir + "rsa-1024.pem"}, {"k2048", kKeyDir + "test-key.pem"}};

TBytes OpensslDer(const std::string& APem, const std::string& AOptions) {
  const std::string der = testsupport::RunShell("openssl rsa -in " + APem + " " + AOptions + " -outform DER -out $OUT 2>/dev/null", "");
  EXPECT_NE(der, "<failed>");
  return TBytes(der.begin(), der.end());
}

std::string KeyRecord(const std::string& APem, const std::string& AForm = "-pubout") {
  return "v=DKIM1; k=rsa; p=" + TqvEncoder::EncodeBytesToLine(OpensslDer(APem, AForm), cmBase64);
}

// Verdicts of python3-dkim and opendkim-testmsg on each message, the keys
// published by dnsmasq in a private network namespace: name -> {python, opendkim}.
std::map<std::string, std::pair<std::string, std::string>> PeerVerdicts(
    const std::map<std::string, std::string>& AMessages) {
  testsupport::TempDir dir;
  std::string records;
  for (const auto& key : kPeerKeys) {
    const std::string r = KeyRecord(key.Pem);
    records += "--txt-record=" + key.Selector + "._domainkey.example.com";
    for (size_t at = 0; at < r.size(); at += 250) records += "," + r.substr(at, 250);
    records += "\n";
  }
  testsupport::WriteFileBytes(dir.Dir() + "records", records);
  for (const auto& [name, text] : AMessages) testsupport::WriteFileBytes(dir.Dir() + name + ".eml", text);
  const std::string cmd = "unshare -m -n sh " + kKeyDir + "peer-verify.sh " + dir.Dir();
  EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
  std::map<std::string, std::pair<std::string, std::string>> verdicts;
  for (const auto& [name, text] : AMessages) {
    const auto first = [&](const std::string& AFile) {
      const std::string s = testsupport::ReadFileBytes(dir.Dir() + name + ".eml." + AFile);
      return s.substr(0, s.find('\n'));
    };
    verdicts[name] = {first("python"), first("opendkim")};
  }
  return verdicts;
}

class DkimPeerTest : public DkimTest {
 protected:
  void SetUp() override {
    DkimTest::SetUp();
    for (const auto& key : kPeerKeys) Verifier.Records[key.Selector + "._domainkey.example.com"] = {KeyRecord(key.Pem)};
  }
  std::string SignWith(const TPeerKey& AKey, const std::string& ACanon, int ABodyLength) {
    Signer.SetSelector(AKey.Selector);
    Signer.RsaKey().SetRsaPrivateKey(OpensslDer(AKey.Pem, "-traditional"));
    Signer.SetCanonicalization(ACanon);
    Signer.SetBodyLength(ABodyLength);
    TStringList lines;
    lines.SetText(kMessage);
    Signer.Sign(lines);
    return lines.Text();
  }
};

}  // namespace

// Every canonicalisation, with and without l=, both key sizes: python3-dkim,
// opendkim and ours all accept our signatures; a signature past its x=
// fails in all three.
TEST_F(DkimPeerTest, PeersVerifyOurSignatures) {
  std::map<std::string, std::string> messages;
  for (const auto& key : kPeerKeys)
    for (const std::string c : {"", "simple", "relaxed", "simple/simple", "relaxed/relaxed", "relaxed/simple",
                                "simple/relaxed"})
      for (const int l : {0, 100000}) {
        std::string name = key.Selector + "-" + (c.empty() ? "none" : c) + "-l" + std::to_string(l);
        std::replace(name.begin(), name.end(), '/', '_');
        messages[name] = SignWith(key, c, l);
      }
  // l= counts the canonical body, never more.
  EXPECT_NE(messages["k1024-simple_simple-l100000"].find("l=30;"), std::string::npos);
  EXPECT_NE(messages["k1024-relaxed_relaxed-l100000"].find("l=28;"), std::string::npos);
  // One word names the header's algorithm; the body's is then simple.
  EXPECT_NE(messages["k1024-relaxed-l0"].find("c=relaxed/simple;"), std::string::npos);
  Signer.SetSignatureTimestamp(Now() - 2);  // days
  Signer.SetSignatureExpiration(Now() - 1);
  messages["expired"] = SignWith(kPeerKeys[1], "relaxed/relaxed", 0);
  Signer.SetSignatureTimestamp(0);
  Signer.SetSignatureExpiration(0);

  const auto verdicts = PeerVerdicts(messages);
  for (const auto& [name, text] : messages) {
    TStringList lines;
    lines.SetText(text);
    const auto ours = VerifyResult(Verifier, lines);
    const auto& [python, opendkim] = verdicts.at(name);
    if (name == "expired") {
      EXPECT_TRUE(python.starts_with("fail x= value is past")) << python;
      EXPECT_NE(opendkim, "ok");
      EXPECT_EQ(ours, std::make_pair(kDkimSignatureExpired, std::string("The DKIM-Signature has expired")));
    } else {
      EXPECT_EQ(python, "ok") << name << "\n" << text;
      EXPECT_EQ(opendkim, "ok") << name << "\n" << text;
      EXPECT_EQ(ours.first, 0) << name << ": " << ours.second;
    }
  }
}

// python3-dkim signs with every form, the one-word "c=relaxed" (relaxed
// header, simple body) and l= included; ours accepts each, and accepts the
// key published as a bare PKCS #1 RSAPublicKey as well.
TEST_F(DkimPeerTest, WeVerifyPeerSignaturesOfEveryForm) {
  for (const auto& key : kPeerKeys)
    for (const std::string c : {"relaxed", "simple/simple", "relaxed/relaxed", "relaxed/simple", "simple/relaxed"})
      for (const char* length : {"False", "True"}) {
        const std::string head = c.substr(0, c.find('/'));
        const std::string body = c.find('/') == std::string::npos ? "simple" : c.substr(c.find('/') + 1);
        // python3-dkim always writes two words; the one-word form is made
        // by patching what it writes.
        const std::string sign =
            "import sys, dkim\n" +
            std::string(c.find('/') == std::string::npos
                            ? "dkim.CanonicalizationPolicy.to_c_value = lambda self: self.header_algorithm.name\n"
                            : "") +
            "msg = open(sys.argv[1], 'rb').read()\n"
            "sig = dkim.sign(msg, b'" + key.Selector + "', b'example.com', open('" + key.Pem + "', 'rb').read(), "
            "canonicalize=(b'" + head + "', b'" + body + "'), length=" + length + ")\n"
            "open(sys.argv[2], 'wb').write(sig + msg)\n";
        const std::string theirs = testsupport::RunPython(sign, kMessage);
        ASSERT_NE(theirs, "<failed>");
        EXPECT_NE(theirs.find(" c=" + c + ";"), std::string::npos) << theirs;
        TStringList lines;
        lines.SetText(theirs);
        const auto ours = VerifyResult(Verifier, lines);
        EXPECT_EQ(ours.first, 0) << key.Selector << " " << c << " l:" << length << ": " << ours.second << "\n" << theirs;
        if (c == "relaxed" && std::string(length) == "False") {
          Verifier.Records[key.Selector + "._domainkey.example.com"] = {KeyRecord(key.Pem, "-RSAPublicKey_out")};
          EXPECT_EQ(VerifyResult(Verifier, lines).first, 0) << "PKCS #1 key of " << key.Selector;
          Verifier.Records[key.Selector + "._domainkey.example.com"] = {KeyRecord(key.Pem)};
        }
      }
}

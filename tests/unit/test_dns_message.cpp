#include <gtest/gtest.h>

#include <random>
#include <string>

#include "Streams.h"
#include "qvDnsMessage.h"
#include "TestSupport.h"

namespace {

std::string Bytes(std::initializer_list<int> AValues) {
  std::string s;
  for (int v : AValues) s += static_cast<char>(v);
  return s;
}

// A response header: ID 0x1234, QR set, the given RCODE and counts.
std::string Header(int AQd, int AAn, int ANs = 0, int AAr = 0, int ARcode = 0) {
  return Bytes({0x12, 0x34, 0x81, 0x80 | ARcode, 0, AQd, 0, AAn, 0, ANs, 0, AAr});
}

std::string Built(TqvDnsMessage& M) {
  TStringStream out;
  M.Build(out);
  return out.DataString();
}

int ErrorOf(const std::function<void()>& f) { return testsupport::ErrorCodeOf<EqvDnsError>(f); }

}  // namespace

TEST(DnsMessage, BuildsQueriesAndNamesByteExactly) {
  TqvDnsMessage m;
  m.Header.ID = 0xBEEF;
  m.Header.IsQuery = true;
  m.Header.IsRecursionDesired = true;
  auto q = std::make_unique<TqvDnsMXRecord>();
  q->Name = "example.com";
  m.Queries.Add(std::move(q));
  EXPECT_EQ(Built(m), Bytes({0xBE, 0xEF, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0}) + "\x07" "example" "\x03" "com" +
                          Bytes({0, 0, 15, 0, 1}));

  TqvDnsWriter w;
  w.WriteName("abcd.efghijk.lmn");
  EXPECT_EQ(w.Data(), "\x04" "abcd\x07" "efghijk\x03" "lmn" + std::string(1, '\0'));  // 18 bytes
  TqvDnsWriter root, dotted, plain;
  root.WriteName("");
  dotted.WriteName("a.b.");
  plain.WriteName("a.b");
  EXPECT_EQ(root.Data(), std::string(1, '\0'));
  EXPECT_EQ(dotted.Data(), plain.Data());
}

TEST(DnsMessage, ParsesPointersUnknownTypesAndEveryTxtString) {
  // Question "mail.example.com"; answers: MX via pointer after a label, type
  // 99 with 10 data bytes, TXT of two strings, AAAA with class 254.
  std::string d = Header(1, 4) + "\x04mail\x07" "example\x03" "com" + Bytes({0, 0, 15, 0, 1});
  d += Bytes({0xC0, 12, 0, 15, 0, 1, 0, 0, 0, 60, 0, 7, 0, 10}) + "\x02mx" + Bytes({0xC0, 17});
  d += Bytes({0xC0, 12, 0, 99, 0, 1, 0, 0, 0, 60, 0, 10}) + std::string(10, 'z');
  d += Bytes({0xC0, 12, 0, 16, 0, 1, 0, 0, 0, 60, 0, 8}) + "\x03" "abc\x03" "def";
  d += Bytes({0xC0, 12, 0, 28, 0, 254, 0, 0, 0, 60, 0, 16, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  TqvDnsMessage m;
  m.Parse(d);
  ASSERT_EQ(m.Answers.Count(), 4);
  EXPECT_FALSE(m.Header.IsQuery);
  EXPECT_EQ(m.Queries.Items(0)->Name, "mail.example.com");
  auto* mx = dynamic_cast<TqvDnsMXRecord*>(m.Answers.Items(0));
  ASSERT_NE(mx, nullptr);
  EXPECT_EQ(mx->Name, "mail.example.com");
  EXPECT_EQ(mx->Preference, 10);
  EXPECT_EQ(mx->MailServer, "mx.example.com");
  EXPECT_EQ(std::string(typeid(*m.Answers.Items(1)).name()), std::string(typeid(TqvDnsRecord).name()));
  EXPECT_EQ(m.Answers.Items(1)->DataLength, 10);
  auto* txt = dynamic_cast<TqvDnsTXTRecord*>(m.Answers.Items(2));
  ASSERT_NE(txt, nullptr);
  EXPECT_EQ(txt->Text, "abc");
  EXPECT_EQ(txt->JoinedText(), "abcdef");
  auto* aaaa = dynamic_cast<TqvDnsAAAARecord*>(m.Answers.Items(3));
  ASSERT_NE(aaaa, nullptr);
  EXPECT_EQ(aaaa->IPAddress, "2001:DB8::1");
  EXPECT_EQ(aaaa->RecordClass, TqvDnsRecordClass::IN);

  TqvDnsMessage empty;
  TStringStream none;
  empty.Parse(none);
  EXPECT_EQ(empty.Queries.Count() + empty.Answers.Count(), 0);
}

TEST(DnsMessage, MalformedRepliesRaiseTheSizeErrorAndNeverReadPastTheEnd) {
  const std::string q = Header(1, 0);
  const std::string a = Bytes({0, 1, 0, 1, 0, 0, 0, 60});
  const std::pair<const char*, std::string> cases[] = {
      {"self pointer", q + Bytes({0xC0, 12, 0, 1, 0, 1})},
      {"pointer loop", Header(2, 0) + Bytes({1, 'a', 0xC0, 20, 0, 1, 0, 1}) + Bytes({1, 'b', 0xC0, 12, 0, 1, 0, 1})},
      {"forward pointer", q + Bytes({0xC0, 14, 0, 0, 1, 0, 1})},
      {"pointer past the end", q + Bytes({0xC0, 200})},
      {"pointer cut in half", q + Bytes({0xC0})},
      {"label past the end", q + Bytes({9, 'a', 'b'})},
      {"name without terminator", q + Bytes({1, 'a'})},
      {"short header", Bytes({1, 2, 3, 4, 5})},
      {"A data shorter than an address", Header(0, 1) + Bytes({0}) + a + Bytes({0, 2, 1, 2})},
      {"RDLENGTH past the end", Header(0, 1) + Bytes({0}) + a + Bytes({0, 4, 1, 2})},
      {"TXT string longer than its data", Header(0, 1) + Bytes({0, 0, 16, 0, 1, 0, 0, 0, 60, 0, 3, 5, 'a', 'b'})},
      {"MX name running out of its data", Header(0, 1) + Bytes({0, 0, 15, 0, 1, 0, 0, 0, 60, 0, 4, 0, 1, 3, 'a', 'b', 'c', 0})},
      {"missing answers", Header(0, 3) + Bytes({0}) + a + Bytes({0, 4, 1, 2, 3, 4})},
  };
  for (const auto& [what, datagram] : cases) {
    TqvDnsMessage m;
    EXPECT_EQ(ErrorOf([&] { m.Parse(datagram); }), qvDnsInvalidDatagram) << what;
  }

  // A reply with RCODE 3 raises after its answer was read.
  TqvDnsMessage m;
  try {
    m.Parse(Header(0, 1, 0, 0, 3) + Bytes({0}) + a + Bytes({0, 4, 10, 0, 0, 1}));
    ADD_FAILURE() << "no error";
  } catch (const EqvDnsError& e) {
    EXPECT_EQ(e.ErrorCode, 3);
    EXPECT_EQ(e.Message(), "No such name");
  }
  ASSERT_EQ(m.Answers.Count(), 1);
  EXPECT_EQ(dynamic_cast<TqvDnsARecord&>(*m.Answers.Items(0)).IPAddress, "10.0.0.1");
}

TEST(DnsMessage, BuildRefusesWhatCannotBeWritten) {
  auto build = [](auto fill) {
    TqvDnsMessage m;
    fill(m);
    return ErrorOf([&] { (void)Built(m); });
  };
  EXPECT_EQ(build([](TqvDnsMessage& m) { m.Answers.Add(std::make_unique<TqvDnsTXTRecord>()); }), 2);
  EXPECT_EQ(build([](TqvDnsMessage& m) {
              auto a = std::make_unique<TqvDnsARecord>();
              a->IPAddress = "1.2.3";
              m.Answers.Add(std::move(a));
            }),
            2);
  EXPECT_EQ(build([](TqvDnsMessage& m) { m.Answers.Add(std::make_unique<TqvDnsMXRecord>()); }), 2);
  for (const std::string& name : {std::string(64, 'a') + ".com", std::string("a..b"), std::string(".x"),
                                 std::string(130, 'a') + "." + std::string(130, 'b')}) {
    EXPECT_EQ(build([&](TqvDnsMessage& m) {
                auto q = std::make_unique<TqvDnsARecord>();
                q->Name = name;
                m.Queries.Add(std::move(q));
              }),
              2)
        << name;
  }
  // Ten 60-byte names do not fit 512 bytes.
  EXPECT_EQ(build([](TqvDnsMessage& m) {
              for (int i = 0; i < 10; ++i) {
                auto q = std::make_unique<TqvDnsARecord>();
                q->Name = std::string(60, 'a' + i);
                m.Queries.Add(std::move(q));
              }
            }),
            qvDnsInvalidDatagram);

  TqvDnsMessage m;
  auto txt = std::make_unique<TqvDnsTXTRecord>();
  txt->Text = std::string(300, 't');
  m.Answers.Add(std::move(txt));
  const std::string wire = Built(m);
  EXPECT_EQ(wire.substr(wire.size() - 3), Bytes({0, 1, 0}));  // RDLENGTH 1, one zero byte
}

TEST(DnsMessage, EveryRecordTypeRoundTripsAndCopiesKeepTheirClass) {
  TqvDnsMessage m;
  m.Header.ID = 7;
  auto add = [&](std::unique_ptr<TqvDnsRecord> r) {
    r->Name = "host.test";
    r->TTL = 3600;
    return m.Answers.Add(std::move(r));
  };
  static_cast<TqvDnsARecord*>(add(std::make_unique<TqvDnsARecord>()))->IPAddress = "256.1.2.3";
  static_cast<TqvDnsNSRecord*>(add(std::make_unique<TqvDnsNSRecord>()))->NameServer = "ns.test";
  static_cast<TqvDnsCNAMERecord*>(add(std::make_unique<TqvDnsCNAMERecord>()))->PrimaryName = "real.test";
  auto* soa = static_cast<TqvDnsSOARecord*>(add(std::make_unique<TqvDnsSOARecord>()));
  soa->PrimaryNameServer = "ns.test";
  soa->ResponsibleMailbox = "admin.test";
  soa->SerialNumber = 2026120901;
  soa->MinimumTTL = 300;
  static_cast<TqvDnsPTRRecord*>(add(std::make_unique<TqvDnsPTRRecord>()))->DomainName = "ptr.test";
  auto* mx = static_cast<TqvDnsMXRecord*>(add(std::make_unique<TqvDnsMXRecord>()));
  mx->Preference = 20;
  mx->MailServer = "mx.test";
  static_cast<TqvDnsTXTRecord*>(add(std::make_unique<TqvDnsTXTRecord>()))->Text = "v=spf1 -all";
  static_cast<TqvDnsAAAARecord*>(add(std::make_unique<TqvDnsAAAARecord>()))->IPAddress = "fe80::1";
  m.Answers.Items(0)->RecordClass = TqvDnsRecordClass::CH;

  TqvDnsMessage back;
  back.Parse(Built(m));
  EXPECT_EQ(back.Header.ID, 7);
  ASSERT_EQ(back.Answers.Count(), 8);
  EXPECT_EQ(dynamic_cast<TqvDnsARecord&>(*back.Answers.Items(0)).IPAddress, "0.1.2.3");
  EXPECT_EQ(back.Answers.Items(0)->RecordClass, TqvDnsRecordClass::CH);
  EXPECT_EQ(back.Answers.Items(0)->TTL, 3600);
  EXPECT_EQ(dynamic_cast<TqvDnsNSRecord&>(*back.Answers.Items(1)).NameServer, "ns.test");
  EXPECT_EQ(dynamic_cast<TqvDnsCNAMERecord&>(*back.Answers.Items(2)).PrimaryName, "real.test");
  auto& soa2 = dynamic_cast<TqvDnsSOARecord&>(*back.Answers.Items(3));
  EXPECT_EQ(soa2.ResponsibleMailbox, "admin.test");
  EXPECT_EQ(soa2.SerialNumber, 2026120901u);
  EXPECT_EQ(soa2.MinimumTTL, 300u);
  EXPECT_EQ(dynamic_cast<TqvDnsPTRRecord&>(*back.Answers.Items(4)).DomainName, "ptr.test");
  EXPECT_EQ(dynamic_cast<TqvDnsMXRecord&>(*back.Answers.Items(5)).MailServer, "mx.test");
  EXPECT_EQ(dynamic_cast<TqvDnsTXTRecord&>(*back.Answers.Items(6)).Text, "v=spf1 -all");
  EXPECT_EQ(dynamic_cast<TqvDnsAAAARecord&>(*back.Answers.Items(7)).IPAddress, "FE80::1");
  EXPECT_EQ(back.Answers.Items(7)->DataLength, 16);

  TqvDnsMessage copy;
  copy.Assign(back);
  ASSERT_EQ(copy.Answers.Count(), 8);
  auto* found = dynamic_cast<TqvDnsMXRecord*>(copy.Answers.FindItem("HOST.test", qvDnsTypeMX));
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->Preference, 20);
  EXPECT_EQ(copy.Answers.FindItem("other.test", qvDnsTypeMX), nullptr);
  EXPECT_NE(dynamic_cast<TqvDnsSOARecord*>(copy.Answers.Items(3)), nullptr);
}

// Random and mutated datagrams: the parser raises nothing but EqvDnsError
// and never reads outside the datagram (the sanitized build checks that).
TEST(DnsMessage, FuzzedRepliesOnlyEverRaiseDnsErrors) {
  TqvDnsMessage seed;
  seed.Header.ID = 1;
  auto q = std::make_unique<TqvDnsMXRecord>();
  q->Name = "example.test";
  seed.Queries.Add(std::move(q));
  auto mx = std::make_unique<TqvDnsMXRecord>();
  mx->Name = "example.test";
  mx->MailServer = "mx.example.test";
  seed.Answers.Add(std::move(mx));
  auto txt = std::make_unique<TqvDnsTXTRecord>();
  txt->Name = "example.test";
  txt->Text = "hello";
  seed.AdditionalRecords.Add(std::move(txt));
  std::string valid = Built(seed);
  // A compression pointer for the fuzzer to bend.
  valid += Bytes({0xC0, 12});

  std::mt19937 rng(20261209);
  int parsed = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string d;
    if (round % 4 == 0) {
      d.resize(rng() % 64);
      for (char& c : d) c = static_cast<char>(rng());
    } else {
      d = valid;
      const int edits = 1 + static_cast<int>(rng() % 6);
      for (int e = 0; e < edits; ++e) {
        const size_t at = rng() % d.size();
        switch (rng() % 4) {
          case 0: d[at] = static_cast<char>(rng()); break;
          case 1: d[at] = static_cast<char>(0xC0 | (rng() & 1)); break;
          case 2: d.resize(at + 1); break;
          default: d.insert(at, 1, static_cast<char>(rng() % 70)); break;
        }
      }
    }
    TqvDnsMessage m;
    try {
      m.Parse(d);
      ++parsed;
    } catch (const EqvDnsError&) {
    } catch (const std::exception& e) {
      FAIL() << "round " << round << ": " << e.what();
    }
  }
  EXPECT_GT(parsed, 0);
}

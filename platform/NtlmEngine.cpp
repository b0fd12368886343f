#include "NtlmEngine.h"

#include "AsciiText.h"
#include "PlatformLimits.h"

#include <openssl/rand.h>

#include <locale.h>
#include <wctype.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

namespace plat::ntlm {

namespace {

constexpr uint8_t kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
constexpr uint8_t kVersion[8] = {10, 0, 0x61, 0x4A, 0, 0, 0, 15};  // revision 15
constexpr uint32_t kNegotiate = 1, kChallenge = 2, kAuthenticate = 3;
// Flags telling that a NEGOTIATE carries a domain or workstation name.
constexpr uint32_t kOemDomainSupplied = 0x00001000, kOemWorkstationSupplied = 0x00002000;
// Target-info pair ids.
constexpr uint16_t kAvEol = 0, kAvNbComputer = 1, kAvNbDomain = 2, kAvDnsComputer = 3,
                   kAvDnsDomain = 4, kAvFlags = 6, kAvTimestamp = 7;
constexpr uint32_t kAvFlagMicPresent = 0x2;
constexpr size_t kMicOffset = 72, kAuthHeaderWithMic = 88;
constexpr size_t kBlobHeader = 28;   // type, reserved, time, client challenge, reserved

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) { return Get16(p) | (static_cast<uint32_t>(Get16(p + 2)) << 16); }
uint64_t Get64(const uint8_t* p) { return Get32(p) | (static_cast<uint64_t>(Get32(p + 4)) << 32); }
void Put16(uint8_t* p, uint16_t v) { p[0] = static_cast<uint8_t>(v); p[1] = static_cast<uint8_t>(v >> 8); }
void Put32(uint8_t* p, uint32_t v) { Put16(p, static_cast<uint16_t>(v)); Put16(p + 2, static_cast<uint16_t>(v >> 16)); }
void Put64(uint8_t* p, uint64_t v) { Put32(p, static_cast<uint32_t>(v)); Put32(p + 4, static_cast<uint32_t>(v >> 32)); }

void Append(Bytes& b, ByteView v) { b.insert(b.end(), v.begin(), v.end()); }
void Append16(Bytes& b, uint16_t v) { uint8_t t[2]; Put16(t, v); Append(b, t); }
void Append32(Bytes& b, uint32_t v) { uint8_t t[4]; Put32(t, v); Append(b, t); }

// Reads a message from the peer; nothing is trusted until it is checked here.
class Reader {
 public:
  explicit Reader(ByteView data) : FData(data) {}
  size_t Size() const { return FData.size(); }
  bool HasHeader(uint32_t type, size_t minSize) const {
    return FData.size() >= minSize && std::memcmp(FData.data(), kSignature, 8) == 0 &&
           Get32(FData.data() + 8) == type;
  }
  uint32_t U32(size_t off) const { return Get32(FData.data() + off); }
  // A security buffer (length, allocated length, offset) at off; false when it
  // points outside the message. An empty buffer's offset is not looked at.
  bool Field(size_t off, ByteView& out) const {
    if (off + 8 > FData.size()) return false;
    const uint64_t len = Get16(FData.data() + off);
    const uint64_t at = Get32(FData.data() + off + 4);
    if (len == 0) {
      out = {};
      return true;
    }
    if (at + len > FData.size()) return false;
    out = FData.subspan(static_cast<size_t>(at), static_cast<size_t>(len));
    return true;
  }

 private:
  ByteView FData;
};

// Lays out a message: a fixed header, then the payload of its buffers.
class Builder {
 public:
  Builder(uint32_t type, size_t headerSize) : FMsg(headerSize, 0) {
    std::memcpy(FMsg.data(), kSignature, 8);
    Put32(FMsg.data() + 8, type);
  }
  uint8_t* At(size_t off) { return FMsg.data() + off; }
  void AddField(size_t fieldOff, ByteView payload) {
    const auto len = static_cast<uint16_t>(payload.size());
    Put16(At(fieldOff), len);
    Put16(At(fieldOff + 2), len);
    Put32(At(fieldOff + 4), static_cast<uint32_t>(FMsg.size()));
    Append(FMsg, payload.first(len));
  }
  Bytes Take() { return std::move(FMsg); }

 private:
  Bytes FMsg;
};

void RandomBytes(uint8_t* p, size_t n) {
  if (RAND_bytes(p, static_cast<int>(n)) != 1) throw std::runtime_error("No random source");
}

char16_t Upper(char16_t c) {
  if (c < 0x80) return static_cast<char16_t>(AsciiUpper(static_cast<char>(c)));
  static const locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0) || (c >= 0xD800 && c <= 0xDFFF)) return c;
  const wint_t u = towupper_l(c, loc);
  return u <= 0xFFFF ? static_cast<char16_t>(u) : c;
}

std::u16string UpperText(const std::u16string& s) {
  std::u16string r(s);
  for (auto& c : r) c = Upper(c);
  return r;
}

// Strings travel as UTF-16LE or, when Unicode was not negotiated, as 8-bit
// text, taken here as Latin-1. An odd UTF-16 length is malformed.
bool DecodeText(ByteView b, bool unicode, std::u16string& out) {
  out.clear();
  if (!unicode) {
    out.assign(b.begin(), b.end());
    return true;
  }
  if (b.size() % 2 != 0) return false;
  for (size_t i = 0; i < b.size(); i += 2) out.push_back(static_cast<char16_t>(Get16(&b[i])));
  return true;
}

Bytes EncodeText(const std::u16string& s, bool unicode) {
  if (unicode) return Utf16Le(s);
  Bytes b;
  for (char16_t c : s) b.push_back(c <= 0xFF ? static_cast<uint8_t>(c) : '?');
  return b;
}

// Walks target-info pairs; false when a pair runs past the end. Stops at the
// end-of-list pair; what follows it is ignored.
template <typename F>
bool WalkAvPairs(ByteView list, F&& visit) {
  size_t pos = 0;
  while (pos + 4 <= list.size()) {
    const uint16_t id = Get16(&list[pos]);
    const size_t len = Get16(&list[pos + 2]);
    if (pos + 4 + len > list.size()) return false;
    if (id == kAvEol) return true;
    visit(id, list.subspan(pos + 4, len));
    pos += 4 + len;
  }
  return pos == list.size();
}

void AddAvPair(Bytes& list, uint16_t id, ByteView value) {
  Append16(list, id);
  Append16(list, static_cast<uint16_t>(value.size()));
  Append(list, value);
}

}  // namespace

Bytes Utf16Le(const std::u16string& text) {
  Bytes b;
  b.reserve(text.size() * 2);
  for (char16_t c : text) Append16(b, static_cast<uint16_t>(c));
  return b;
}

uint64_t FileTimeNow() {
  using namespace std::chrono;
  // 1601-01-01 to 1970-01-01 in 100 ns steps.
  constexpr uint64_t kEpochDelta = 116444736000000000ull;
  const auto since = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
  return kEpochDelta + static_cast<uint64_t>(since / 100);
}

Digest16 NtOwfV1(const std::u16string& password) { return Md4(Utf16Le(password)); }

Digest16 NtOwfV2(const std::u16string& password, const std::u16string& user,
                 const std::u16string& domain) {
  const Digest16 v1 = NtOwfV1(password);
  return HmacMd5(v1, {Utf16Le(UpperText(user) + domain)});
}

// ---- server ---------------------------------------------------------------

NtlmServerContext::NtlmServerContext(NtlmServerOptions options) : FOptions(std::move(options)) {}

NtlmServerContext::~NtlmServerContext() { OPENSSL_cleanse(FSessionKey.data(), FSessionKey.size()); }

NtlmStatus NtlmServerContext::Accept(ByteView in, Bytes& out) {
  out.clear();
  if (FState == State::Done || FState == State::Failed) return NtlmStatus::OutOfSequence;  // keeps the result
  NtlmStatus st = NtlmStatus::OutOfSequence;
  if (in.size() > kMaxTokenSize) {
    st = NtlmStatus::InvalidToken;
  } else if (FState == State::WaitNegotiate) {
    st = OnNegotiate(in, out);
  } else if (FState == State::WaitAuthenticate) {
    st = OnAuthenticate(in);
  }
  if (st == NtlmStatus::Continue)
    FState = State::WaitAuthenticate;
  else if (st == NtlmStatus::Complete)
    FState = State::Done;
  else
    FState = State::Failed;  // one failure ends the exchange: no retries on one challenge
  if (st != NtlmStatus::Continue) out.clear();
  return st;
}

NtlmStatus NtlmServerContext::OnNegotiate(ByteView in, Bytes& out) {
  Reader r(in);
  if (!r.HasHeader(kNegotiate, 16)) return NtlmStatus::InvalidToken;
  const uint32_t asked = r.U32(12);
  ByteView ignored;
  if ((asked & kOemDomainSupplied) && !r.Field(16, ignored)) return NtlmStatus::InvalidToken;
  if ((asked & kOemWorkstationSupplied) && !r.Field(24, ignored)) return NtlmStatus::InvalidToken;

  FFlags = NEGOTIATE_NTLM | NEGOTIATE_TARGET_INFO | TARGET_TYPE_SERVER | NEGOTIATE_VERSION;
  if (asked & NEGOTIATE_UNICODE)
    FFlags |= NEGOTIATE_UNICODE;
  else if (asked & NEGOTIATE_OEM)
    FFlags |= NEGOTIATE_OEM;
  else
    FFlags |= NEGOTIATE_UNICODE;
  FFlags |= asked & (REQUEST_TARGET | NEGOTIATE_SIGN | NEGOTIATE_SEAL | NEGOTIATE_ALWAYS_SIGN |
                     NEGOTIATE_EXTENDED_SESSIONSECURITY | NEGOTIATE_128 | NEGOTIATE_56 |
                     NEGOTIATE_KEY_EXCH);

  if (FOptions.FixedChallenge)
    FChallenge = *FOptions.FixedChallenge;
  else
    RandomBytes(FChallenge.data(), FChallenge.size());

  Bytes info;
  AddAvPair(info, kAvNbDomain, Utf16Le(FOptions.NbDomainName));
  AddAvPair(info, kAvNbComputer, Utf16Le(FOptions.NbComputerName));
  if (!FOptions.DnsComputerName.empty()) AddAvPair(info, kAvDnsComputer, Utf16Le(FOptions.DnsComputerName));
  if (!FOptions.DnsDomainName.empty()) AddAvPair(info, kAvDnsDomain, Utf16Le(FOptions.DnsDomainName));
  uint8_t ts[8];
  Put64(ts, FOptions.FixedTimestamp ? *FOptions.FixedTimestamp : FileTimeNow());
  AddAvPair(info, kAvTimestamp, ts);
  AddAvPair(info, kAvEol, {});

  Builder b(kChallenge, 56);
  Put32(b.At(20), FFlags);
  std::memcpy(b.At(24), FChallenge.data(), 8);
  std::memcpy(b.At(48), kVersion, 8);
  b.AddField(12, EncodeText(FOptions.NbComputerName, FFlags & NEGOTIATE_UNICODE));
  b.AddField(40, info);
  out = b.Take();
  FNegotiateMsg.assign(in.begin(), in.end());
  FChallengeMsg = out;
  return NtlmStatus::Continue;
}

NtlmStatus NtlmServerContext::OnAuthenticate(ByteView in) {
  Reader r(in);
  if (!r.HasHeader(kAuthenticate, 64)) return NtlmStatus::InvalidToken;
  ByteView lm, nt, domain, user, workstation, encKey;
  if (!r.Field(12, lm) || !r.Field(20, nt) || !r.Field(28, domain) || !r.Field(36, user) ||
      !r.Field(44, workstation) || !r.Field(52, encKey))
    return NtlmStatus::InvalidToken;
  const bool unicode = (FFlags & NEGOTIATE_UNICODE) != 0;
  std::u16string userText, domainText, workstationText;
  if (!DecodeText(domain, unicode, domainText) || !DecodeText(user, unicode, userText) ||
      !DecodeText(workstation, unicode, workstationText))
    return NtlmStatus::InvalidToken;

  // Sort the response kind out before anything depends on the password.
  enum class Kind { V2, Session } kind;
  bool micPresent = false;
  ByteView blob;
  if (nt.size() == 24) {
    // NTLMv1 is refused; with extended session security the same length is
    // the NTLM2 session response, whose client challenge sits in the LM field.
    if (!(FFlags & NEGOTIATE_EXTENDED_SESSIONSECURITY) || lm.size() != 24) return NtlmStatus::LogonDenied;
    kind = Kind::Session;
  } else if (nt.empty()) {
    return NtlmStatus::LogonDenied;  // anonymous or LM only
  } else if (nt.size() < 16 + kBlobHeader) {
    return NtlmStatus::InvalidToken;
  } else {
    kind = Kind::V2;
    blob = nt.subspan(16);
    if (blob[0] != 1 || blob[1] != 1) return NtlmStatus::InvalidToken;
    const bool ok = WalkAvPairs(blob.subspan(kBlobHeader), [&](uint16_t id, ByteView v) {
      if (id == kAvFlags && v.size() == 4 && (Get32(v.data()) & kAvFlagMicPresent)) micPresent = true;
    });
    if (!ok) return NtlmStatus::InvalidToken;
    if (micPresent && in.size() < kAuthHeaderWithMic) return NtlmStatus::InvalidToken;
  }
  if (userText.empty()) return NtlmStatus::LogonDenied;
  std::optional<std::u16string> password;
  if (FOptions.Lookup) password = FOptions.Lookup(userText, domainText);
  // Unknown accounts take the same work as known ones, so timing does not
  // tell which names exist.
  const bool known = password && !password->empty();
  if (!known) password = u"\x1 no such account";

  Digest16 keyExchangeKey{};
  bool matched = false;
  if (kind == Kind::V2) {
    // Clients that were given no domain hash with an empty one whatever they send.
    const std::u16string domains[2] = {domainText, std::u16string()};
    for (int i = 0; i < (domainText.empty() ? 1 : 2) && !matched; ++i) {
      const Digest16 owf = NtOwfV2(*password, userText, domains[i]);
      const Digest16 proof = HmacMd5(owf, {FChallenge, blob});
      if (ConstantTimeEqual(proof, nt.first(16))) {
        keyExchangeKey = HmacMd5(owf, {proof});
        matched = true;
      }
    }
  } else {
    const Digest16 owf = NtOwfV1(*password);
    const ByteView clientChallenge = lm.first(8);
    Bytes both(FChallenge.begin(), FChallenge.end());
    Append(both, clientChallenge);
    const Digest16 mixed = Md5(both);
    const auto expected = Desl(owf, mixed.data());
    if (ConstantTimeEqual(expected, nt)) {
      keyExchangeKey = HmacMd5(Md4(owf), {FChallenge, clientChallenge});
      matched = true;
    }
  }
  if (!matched || !known) return NtlmStatus::LogonDenied;

  Digest16 exported = keyExchangeKey;
  if ((FFlags & NEGOTIATE_KEY_EXCH) && encKey.size() == 16) {
    const Bytes k = Rc4(keyExchangeKey, encKey);
    std::memcpy(exported.data(), k.data(), 16);
  }
  if (micPresent) {
    Bytes copy(in.begin(), in.end());
    std::memset(copy.data() + kMicOffset, 0, 16);
    const Digest16 mic = HmacMd5(exported, {FNegotiateMsg, FChallengeMsg, copy});
    if (!ConstantTimeEqual(mic, in.subspan(kMicOffset, 16))) return NtlmStatus::LogonDenied;
  }
  FUser = std::move(userText);
  FDomain = std::move(domainText);
  FWorkstation = std::move(workstationText);
  FSessionKey = exported;
  return NtlmStatus::Complete;
}

// ---- client ---------------------------------------------------------------

NtlmClientContext::NtlmClientContext(NtlmClientOptions options) : FOptions(std::move(options)) {}

NtlmClientContext::~NtlmClientContext() { OPENSSL_cleanse(FSessionKey.data(), FSessionKey.size()); }

NtlmStatus NtlmClientContext::Step(ByteView in, Bytes& out) {
  out.clear();
  NtlmStatus st = NtlmStatus::OutOfSequence;
  if (FState == State::Start) {
    if (!in.empty()) {
      st = NtlmStatus::InvalidToken;
    } else {
      Builder b(kNegotiate, 40);
      Put32(b.At(12), FOptions.Flags);
      Put32(b.At(20), 40);  // empty domain and workstation buffers
      Put32(b.At(28), 40);
      std::memcpy(b.At(32), kVersion, 8);
      out = b.Take();
      FNegotiateMsg = out;
      FState = State::WaitChallenge;
      return NtlmStatus::Continue;
    }
  } else if (FState == State::WaitChallenge) {
    st = in.size() > kMaxTokenSize ? NtlmStatus::InvalidToken : BuildAuthenticate(in, out);
  }
  FState = st == NtlmStatus::Complete ? State::Done : State::Failed;
  if (st != NtlmStatus::Complete) out.clear();
  return st;
}

NtlmStatus NtlmClientContext::BuildAuthenticate(ByteView challenge, Bytes& out) {
  Reader r(challenge);
  if (!r.HasHeader(kChallenge, 32)) return NtlmStatus::InvalidToken;
  ByteView targetName, targetInfo;
  if (!r.Field(12, targetName)) return NtlmStatus::InvalidToken;
  const uint32_t flags = r.U32(20);
  if ((flags & NEGOTIATE_TARGET_INFO) && r.Size() >= 48 && !r.Field(40, targetInfo))
    return NtlmStatus::InvalidToken;
  const ByteView serverChallenge = challenge.subspan(24, 8);
  if (FOptions.User.size() > kMaxNtlmNameChars || FOptions.Domain.size() > kMaxNtlmNameChars ||
      FOptions.Workstation.size() > kMaxNtlmNameChars || FOptions.Password.size() > kMaxNtlmNameChars)
    return NtlmStatus::LogonDenied;

  // A server that sends its time gets it back, and then expects a MIC.
  std::optional<uint64_t> serverTime;
  Bytes pairs;
  const bool ok = WalkAvPairs(targetInfo, [&](uint16_t id, ByteView v) {
    if (id == kAvTimestamp && v.size() == 8) serverTime = Get64(v.data());
    if (id != kAvFlags) AddAvPair(pairs, id, v);
  });
  if (!ok || pairs.size() > kMaxTokenSize / 2) return NtlmStatus::InvalidToken;
  const bool useMic = serverTime.has_value();
  if (useMic) {
    uint8_t f[4];
    Put32(f, kAvFlagMicPresent);
    AddAvPair(pairs, kAvFlags, f);
  }
  if (!targetInfo.empty() || useMic) AddAvPair(pairs, kAvEol, {});

  std::array<uint8_t, 8> clientChallenge{};
  if (FOptions.FixedClientChallenge)
    clientChallenge = *FOptions.FixedClientChallenge;
  else
    RandomBytes(clientChallenge.data(), clientChallenge.size());
  const uint64_t time = serverTime ? *serverTime : FOptions.FixedTimestamp ? *FOptions.FixedTimestamp : FileTimeNow();

  Bytes blob = {1, 1, 0, 0, 0, 0, 0, 0};
  uint8_t t[8];
  Put64(t, time);
  Append(blob, t);
  Append(blob, clientChallenge);
  Append32(blob, 0);
  Append(blob, pairs);
  Append32(blob, 0);

  const Digest16 owf = NtOwfV2(FOptions.Password, FOptions.User, FOptions.Domain);
  const Digest16 proof = HmacMd5(owf, {serverChallenge, blob});
  Bytes nt(proof.begin(), proof.end());
  Append(nt, blob);
  Bytes lm(24, 0);
  if (!useMic) {
    const Digest16 lmProof = HmacMd5(owf, {serverChallenge, clientChallenge});
    std::memcpy(lm.data(), lmProof.data(), 16);
    std::memcpy(lm.data() + 16, clientChallenge.data(), 8);
  }
  const Digest16 keyExchangeKey = HmacMd5(owf, {proof});
  Bytes encKey;
  FSessionKey = keyExchangeKey;
  if (flags & FOptions.Flags & NEGOTIATE_KEY_EXCH) {
    if (FOptions.FixedSessionKey)
      FSessionKey = *FOptions.FixedSessionKey;
    else
      RandomBytes(FSessionKey.data(), FSessionKey.size());
    encKey = Rc4(keyExchangeKey, FSessionKey);
  }

  const bool unicode = (flags & NEGOTIATE_UNICODE) != 0;
  const uint32_t ours = FOptions.Flags | NEGOTIATE_TARGET_INFO | TARGET_TYPE_SERVER | TARGET_TYPE_DOMAIN;
  Builder b(kAuthenticate, kAuthHeaderWithMic);
  Put32(b.At(60), (flags & ours) | NEGOTIATE_VERSION);
  std::memcpy(b.At(64), kVersion, 8);
  b.AddField(28, EncodeText(FOptions.Domain, unicode));
  b.AddField(36, EncodeText(FOptions.User, unicode));
  b.AddField(44, EncodeText(FOptions.Workstation, unicode));
  b.AddField(12, lm);
  b.AddField(20, nt);
  b.AddField(52, encKey);
  out = b.Take();
  if (useMic) {
    const Digest16 mic = HmacMd5(FSessionKey, {FNegotiateMsg, challenge, out});
    std::memcpy(out.data() + kMicOffset, mic.data(), 16);
  }
  return NtlmStatus::Complete;
}

}  // namespace plat::ntlm

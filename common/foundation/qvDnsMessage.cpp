#include "qvDnsMessage.h"

#include <netinet/in.h>

#include <cstring>
#include <typeinfo>

#include "AsciiText.h"
#include "CodeTable.h"
#include "Decimal.h"
#include "qvFoundationLimits.h"
#include "Random.h"
#include "qvIpAddress.h"

namespace {

constexpr plat::TCodeText<> kResponseTexts[] = {
    {1, "Format error"}, {2, "Server failure"}, {3, "No such name"}, {4, "Not implemented"}, {5, "Refused"},
};
constexpr const char* kUnspecified = "Unspecified error";
constexpr const char* kInvalidDatagram = "The size of the datagram is invalid";


[[noreturn]] void RaiseInvalid() { throw EqvDnsError(kInvalidDatagram, qvDnsInvalidDatagram); }
[[noreturn]] void RaiseBuild() { throw EqvDnsError(qvDnsBuildError); }

// A decimal integer with an optional sign, as the A record's words are read.
// At most ten digits after the sign.
bool ParseWord(const std::string& AText, long& AValue) {
  const size_t sign = !AText.empty() && (AText[0] == '+' || AText[0] == '-') ? 1 : 0;
  const std::optional<long> v =
      AText.size() - sign > 10 ? std::nullopt : plat::ParseDecimal<long>(AText, plat::TDecimalSign::PlusOrMinus);
  if (v) AValue = *v;
  return v.has_value();
}

void RequireText(const std::string& AText) {
  if (AText.empty()) RaiseBuild();
}

int ClassToWire(TqvDnsRecordClass AClass) {
  switch (AClass) {
    case TqvDnsRecordClass::CH: return 3;
    case TqvDnsRecordClass::HS: return 4;
    default: return 1;
  }
}

TqvDnsRecordClass ClassFromWire(int ACode) {
  if (ACode == 3) return TqvDnsRecordClass::CH;
  if (ACode == 4) return TqvDnsRecordClass::HS;
  return TqvDnsRecordClass::IN;
}

}  // namespace

bool SameDnsName(const std::string& A, const std::string& B) {
  return plat::AsciiSameText(A, B);
}

std::string GetDnsResponseText(int AResponseCode) {
  return plat::CodeText(kResponseTexts, AResponseCode, kUnspecified);
}

EqvDnsError::EqvDnsError(int AResponseCode) : EqvSocketError(GetDnsResponseText(AResponseCode), AResponseCode) {}

// --- reader

void TqvDnsReader::Need(size_t ACount) const {
  if (FPos > FLimit || FLimit - FPos < ACount) RaiseInvalid();
}

void TqvDnsReader::SetLimit(size_t ALimit) {
  if (ALimit > FData.size()) RaiseInvalid();
  FLimit = ALimit;
}

uint8_t TqvDnsReader::ReadByte() {
  Need(1);
  return static_cast<uint8_t>(FData[FPos++]);
}

uint16_t TqvDnsReader::ReadWord() {
  Need(2);
  const uint16_t v = static_cast<uint16_t>((static_cast<uint8_t>(FData[FPos]) << 8) |
                                           static_cast<uint8_t>(FData[FPos + 1]));
  FPos += 2;
  return v;
}

uint32_t TqvDnsReader::ReadDWord() {
  const uint32_t high = ReadWord();
  return (high << 16) | ReadWord();
}

std::string TqvDnsReader::ReadBytes(size_t ACount) {
  Need(ACount);
  std::string s = FData.substr(FPos, ACount);
  FPos += ACount;
  return s;
}

std::string TqvDnsReader::ReadName() {
  std::string name;
  size_t pos = FPos;
  // Inline bytes stay inside the limit; bytes reached through a pointer
  // only inside the datagram.
  size_t limit = FLimit;
  size_t resume = 0;
  int hops = 0;
  for (;;) {
    if (pos >= limit) RaiseInvalid();
    const uint8_t b = static_cast<uint8_t>(FData[pos]);
    if (b == 0) {
      ++pos;
      break;
    }
    if (b >= 0xC0) {
      if (pos + 1 >= limit) RaiseInvalid();
      const size_t target = (static_cast<size_t>(b & 0x3F) << 8) | static_cast<uint8_t>(FData[pos + 1]);
      // Only backward pointers: a forward one or a self-pointer is refused,
      // and the hop count bounds what is left.
      if (target >= pos || ++hops > qvMaxDnsPointerHops) RaiseInvalid();
      if (resume == 0) resume = pos + 2;
      pos = target;
      limit = FData.size();
      continue;
    }
    if (pos + 1 + b > limit) RaiseInvalid();
    name.append(FData, pos + 1, b);
    name += '.';
    if (name.size() > qvDnsMaxName + 1) RaiseInvalid();
    pos += 1 + b;
  }
  if (!name.empty()) name.pop_back();
  FPos = resume != 0 ? resume : pos;
  return name;
}

std::string TqvDnsReader::ReadCharString() {
  const uint8_t len = ReadByte();
  return ReadBytes(len);
}

// --- writer

void TqvDnsWriter::WriteByte(uint8_t AValue) {
  if (FData.size() >= qvDnsMaxDatagram) RaiseInvalid();
  FData += static_cast<char>(AValue);
}

void TqvDnsWriter::WriteWord(uint16_t AValue) {
  WriteByte(static_cast<uint8_t>(AValue >> 8));
  WriteByte(static_cast<uint8_t>(AValue));
}

void TqvDnsWriter::WriteDWord(uint32_t AValue) {
  WriteWord(static_cast<uint16_t>(AValue >> 16));
  WriteWord(static_cast<uint16_t>(AValue));
}

void TqvDnsWriter::WriteBytes(const std::string& ABytes) {
  if (ABytes.size() > qvDnsMaxDatagram - FData.size()) RaiseInvalid();
  FData += ABytes;
}

void TqvDnsWriter::WriteName(const std::string& AName) {
  std::string name = AName;
  if (!name.empty() && name.back() == '.') name.pop_back();
  // Labels plus their length bytes and the final 0: 255 at most.
  if (name.size() + 2 > qvDnsMaxName + 1) RaiseBuild();
  std::string wire;
  if (!name.empty()) {
    size_t start = 0;
    for (;;) {
      const size_t dot = name.find('.', start);
      const size_t end = dot == std::string::npos ? name.size() : dot;
      const size_t len = end - start;
      if (len == 0 || len > qvDnsMaxLabel) RaiseBuild();
      wire += static_cast<char>(len);
      wire.append(name, start, len);
      if (dot == std::string::npos) break;
      start = dot + 1;
    }
  }
  wire += '\0';
  WriteBytes(wire);
}

void TqvDnsWriter::WriteCharString(const std::string& AText) {
  if (AText.empty() || AText.size() > 255) {
    WriteByte(0);
    return;
  }
  WriteByte(static_cast<uint8_t>(AText.size()));
  WriteBytes(AText);
}

void TqvDnsWriter::PatchWord(size_t APos, uint16_t AValue) {
  Assert(APos + 2 <= FData.size());
  FData[APos] = static_cast<char>(AValue >> 8);
  FData[APos + 1] = static_cast<char>(AValue);
}

// --- header

void TqvDnsMessageHeader::Assign(const TPersistent& Source) {
  const auto* src = dynamic_cast<const TqvDnsMessageHeader*>(&Source);
  if (!src) return TPersistent::Assign(Source);
  ID = src->ID;
  IsQuery = src->IsQuery;
  Opcode = src->Opcode;
  IsAuthoritativeAnswer = src->IsAuthoritativeAnswer;
  IsTruncated = src->IsTruncated;
  IsRecursionDesired = src->IsRecursionDesired;
  IsRecursionAvailable = src->IsRecursionAvailable;
  ResponseCode = src->ResponseCode;
  QueryCount = src->QueryCount;
  AnswerCount = src->AnswerCount;
  NameServerCount = src->NameServerCount;
  AdditionalCount = src->AdditionalCount;
}

void TqvDnsMessageHeader::Clear() {
  // Unguessable, so an off-path sender cannot forge the answer.
  ID = plat::SecureRandom16();
  IsQuery = false;
  Opcode = TqvDnsOpcode::StandardQuery;
  IsAuthoritativeAnswer = IsTruncated = IsRecursionDesired = IsRecursionAvailable = false;
  ResponseCode = 0;
  QueryCount = AnswerCount = NameServerCount = AdditionalCount = 0;
}

// --- records

void TqvDnsRecord::Assign(const TPersistent& Source) {
  const auto* src = dynamic_cast<const TqvDnsRecord*>(&Source);
  if (!src) return TPersistent::Assign(Source);
  Name = src->Name;
  RecordType = src->RecordType;
  RecordClass = src->RecordClass;
  TTL = src->TTL;
  DataLength = src->DataLength;
}

void TqvDnsRecord::WriteData(TqvDnsWriter&) {}
void TqvDnsRecord::ReadData(TqvDnsReader&) {}

std::unique_ptr<TqvDnsRecord> TqvDnsRecord::Create() const { return std::make_unique<TqvDnsRecord>(RecordType); }

// Copies the base fields, then the subclass's own when the source shares its class.
#define VX_DNS_ASSIGN(Class, body)                               \
  void Class::Assign(const TPersistent& Source) {                \
    TqvDnsRecord::Assign(Source);                                \
    if (const auto* src = dynamic_cast<const Class*>(&Source)) { \
      body                                                       \
    }                                                            \
  }

VX_DNS_ASSIGN(TqvDnsARecord, IPAddress = src->IPAddress;)
VX_DNS_ASSIGN(TqvDnsNSRecord, NameServer = src->NameServer;)
VX_DNS_ASSIGN(TqvDnsCNAMERecord, PrimaryName = src->PrimaryName;)
VX_DNS_ASSIGN(TqvDnsPTRRecord, DomainName = src->DomainName;)
VX_DNS_ASSIGN(TqvDnsMXRecord, Preference = src->Preference; MailServer = src->MailServer;)
VX_DNS_ASSIGN(TqvDnsTXTRecord, Text = src->Text; Strings = src->Strings;)
VX_DNS_ASSIGN(TqvDnsAAAARecord, IPAddress = src->IPAddress;)
VX_DNS_ASSIGN(TqvDnsSOARecord, PrimaryNameServer = src->PrimaryNameServer;
              ResponsibleMailbox = src->ResponsibleMailbox; SerialNumber = src->SerialNumber;
              RefreshInterval = src->RefreshInterval; RetryInterval = src->RetryInterval;
              ExpirationLimit = src->ExpirationLimit; MinimumTTL = src->MinimumTTL;)
#undef VX_DNS_ASSIGN

void TqvDnsARecord::WriteData(TqvDnsWriter& AWriter) {
  RequireText(IPAddress);
  uint8_t bytes[4];
  size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    const size_t dot = IPAddress.find('.', start);
    if ((i < 3) != (dot != std::string::npos)) RaiseBuild();
    long word = 0;
    if (!ParseWord(IPAddress.substr(start, dot == std::string::npos ? std::string::npos : dot - start), word))
      RaiseBuild();
    bytes[i] = static_cast<uint8_t>(word & 0xFF);
    start = dot + 1;
  }
  for (uint8_t b : bytes) AWriter.WriteByte(b);
}

void TqvDnsARecord::ReadData(TqvDnsReader& AReader) {
  const std::string b = AReader.ReadBytes(4);
  IPAddress = std::to_string(static_cast<uint8_t>(b[0])) + "." + std::to_string(static_cast<uint8_t>(b[1])) + "." +
              std::to_string(static_cast<uint8_t>(b[2])) + "." + std::to_string(static_cast<uint8_t>(b[3]));
}

void TqvDnsNSRecord::WriteData(TqvDnsWriter& AWriter) {
  RequireText(NameServer);
  AWriter.WriteName(NameServer);
}
void TqvDnsNSRecord::ReadData(TqvDnsReader& AReader) { NameServer = AReader.ReadName(); }

void TqvDnsCNAMERecord::WriteData(TqvDnsWriter& AWriter) {
  RequireText(PrimaryName);
  AWriter.WriteName(PrimaryName);
}
void TqvDnsCNAMERecord::ReadData(TqvDnsReader& AReader) { PrimaryName = AReader.ReadName(); }

void TqvDnsPTRRecord::WriteData(TqvDnsWriter& AWriter) {
  RequireText(DomainName);
  AWriter.WriteName(DomainName);
}
void TqvDnsPTRRecord::ReadData(TqvDnsReader& AReader) { DomainName = AReader.ReadName(); }

void TqvDnsMXRecord::WriteData(TqvDnsWriter& AWriter) {
  RequireText(MailServer);
  AWriter.WriteWord(Preference);
  AWriter.WriteName(MailServer);
}

void TqvDnsMXRecord::ReadData(TqvDnsReader& AReader) {
  Preference = AReader.ReadWord();
  MailServer = AReader.ReadName();
}

void TqvDnsSOARecord::WriteData(TqvDnsWriter& AWriter) {
  AWriter.WriteName(PrimaryNameServer);
  AWriter.WriteName(ResponsibleMailbox);
  for (uint32_t v : {SerialNumber, RefreshInterval, RetryInterval, ExpirationLimit, MinimumTTL}) AWriter.WriteDWord(v);
}

void TqvDnsSOARecord::ReadData(TqvDnsReader& AReader) {
  PrimaryNameServer = AReader.ReadName();
  ResponsibleMailbox = AReader.ReadName();
  SerialNumber = AReader.ReadDWord();
  RefreshInterval = AReader.ReadDWord();
  RetryInterval = AReader.ReadDWord();
  ExpirationLimit = AReader.ReadDWord();
  MinimumTTL = AReader.ReadDWord();
}

void TqvDnsTXTRecord::WriteData(TqvDnsWriter& AWriter) {
  RequireText(Text);
  AWriter.WriteCharString(Text);
}

void TqvDnsTXTRecord::ReadData(TqvDnsReader& AReader) {
  Strings.clear();
  // The reader's limit is the RDATA end: a length past it raises -1.
  do {
    Strings.push_back(AReader.ReadCharString());
  } while (AReader.Position() < AReader.Limit());
  Text = Strings.front();
}

std::string TqvDnsTXTRecord::JoinedText() const {
  std::string all;
  for (const std::string& s : Strings) all += s;
  return Strings.empty() ? Text : all;
}

void TqvDnsAAAARecord::WriteData(TqvDnsWriter& AWriter) {
  TqvIPAddress6 address;
  if (IPAddress.empty() || !address.Parse(IPAddress) || !address.IsIPv6()) RaiseBuild();
  const auto* sa = reinterpret_cast<const sockaddr_in6*>(address.GetSockAddr());
  AWriter.WriteBytes(std::string(reinterpret_cast<const char*>(sa->sin6_addr.s6_addr), 16));
}

void TqvDnsAAAARecord::ReadData(TqvDnsReader& AReader) {
  const std::string b = AReader.ReadBytes(16);
  uint8_t bytes[16];
  std::memcpy(bytes, b.data(), 16);
  IPAddress = FormatIPv6Address(bytes);
}

// --- record list

TqvDnsRecord* TqvDnsRecordList::Add(std::unique_ptr<TqvDnsRecord> ARecord) {
  Assert(ARecord != nullptr);
  FItems.push_back(std::move(ARecord));
  return FItems.back().get();
}

TqvDnsRecord* TqvDnsRecordList::Items(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) throw EListError::OutOfBounds(AIndex);
  return FItems[static_cast<size_t>(AIndex)].get();
}

TqvDnsRecord* TqvDnsRecordList::FindItem(const std::string& AName, int AType) const {
  for (const auto& r : FItems)
    if (r->RecordType == AType && SameDnsName(r->Name, AName)) return r.get();
  return nullptr;
}

void TqvDnsRecordList::Assign(const TPersistent& Source) {
  const auto* src = dynamic_cast<const TqvDnsRecordList*>(&Source);
  if (!src) return TPersistent::Assign(Source);
  if (src == this) return;
  Clear();
  for (const auto& r : src->FItems) {
    std::unique_ptr<TqvDnsRecord> copy = r->Create();
    copy->Assign(*r);
    Add(std::move(copy));
  }
}

// --- message

void TqvDnsMessage::Assign(const TPersistent& Source) {
  const auto* src = dynamic_cast<const TqvDnsMessage*>(&Source);
  if (!src) return TPersistent::Assign(Source);
  if (src == this) return;
  Clear();
  Header.Assign(src->Header);
  Queries.Assign(src->Queries);
  Answers.Assign(src->Answers);
  Authorities.Assign(src->Authorities);
  AdditionalRecords.Assign(src->AdditionalRecords);
}

void TqvDnsMessage::Clear() {
  Header.Clear();
  Queries.Clear();
  Answers.Clear();
  Authorities.Clear();
  AdditionalRecords.Clear();
}

std::unique_ptr<TqvDnsRecord> TqvDnsMessage::CreateRecord(int AType) const {
  switch (AType) {
    case qvDnsTypeA: return std::make_unique<TqvDnsARecord>();
    case qvDnsTypeNS: return std::make_unique<TqvDnsNSRecord>();
    case qvDnsTypeCNAME: return std::make_unique<TqvDnsCNAMERecord>();
    case qvDnsTypeSOA: return std::make_unique<TqvDnsSOARecord>();
    case qvDnsTypePTR: return std::make_unique<TqvDnsPTRRecord>();
    case qvDnsTypeMX: return std::make_unique<TqvDnsMXRecord>();
    case qvDnsTypeTXT: return std::make_unique<TqvDnsTXTRecord>();
    case qvDnsTypeAAAA: return std::make_unique<TqvDnsAAAARecord>();
    default: return std::make_unique<TqvDnsRecord>(AType);
  }
}

void TqvDnsMessage::Build(TStream& AStream) {
  Header.QueryCount = static_cast<uint16_t>(Queries.Count());
  Header.AnswerCount = static_cast<uint16_t>(Answers.Count());
  Header.NameServerCount = static_cast<uint16_t>(Authorities.Count());
  Header.AdditionalCount = static_cast<uint16_t>(AdditionalRecords.Count());
  TqvDnsWriter w;
  w.WriteWord(Header.ID);
  uint16_t flags = 0;
  if (!Header.IsQuery) flags |= 0x8000;
  if (Header.Opcode == TqvDnsOpcode::InverseQuery) flags |= 1 << 11;
  if (Header.Opcode == TqvDnsOpcode::ServerStatus) flags |= 2 << 11;
  if (Header.IsAuthoritativeAnswer) flags |= 0x0400;
  if (Header.IsTruncated) flags |= 0x0200;
  if (Header.IsRecursionDesired) flags |= 0x0100;
  if (Header.IsRecursionAvailable) flags |= 0x0080;
  flags |= static_cast<uint16_t>(Header.ResponseCode & 0x0F);
  w.WriteWord(flags);
  for (uint16_t count : {Header.QueryCount, Header.AnswerCount, Header.NameServerCount, Header.AdditionalCount})
    w.WriteWord(count);
  for (int i = 0; i < Queries.Count(); ++i) {
    TqvDnsRecord& q = *Queries.Items(i);
    w.WriteName(q.Name);
    w.WriteWord(static_cast<uint16_t>(q.RecordType));
    w.WriteWord(static_cast<uint16_t>(ClassToWire(q.RecordClass)));
  }
  for (TqvDnsRecordList* list : {&Answers, &Authorities, &AdditionalRecords}) {
    for (int i = 0; i < list->Count(); ++i) {
      TqvDnsRecord& r = *list->Items(i);
      w.WriteName(r.Name);
      w.WriteWord(static_cast<uint16_t>(r.RecordType));
      w.WriteWord(static_cast<uint16_t>(ClassToWire(r.RecordClass)));
      w.WriteDWord(static_cast<uint32_t>(r.TTL));
      const size_t lengthAt = w.Size();
      w.WriteWord(0);
      r.WriteData(w);
      r.DataLength = static_cast<uint16_t>(w.Size() - lengthAt - 2);
      w.PatchWord(lengthAt, r.DataLength);
    }
  }
  AStream.WriteBuffer(w.Data().data(), static_cast<int64_t>(w.Size()));
}

void TqvDnsMessage::Parse(TStream& AStream) {
  const int64_t left = AStream.Size() - AStream.Position();
  std::string data(static_cast<size_t>(left > 0 ? left : 0), '\0');
  if (!data.empty()) AStream.ReadBuffer(data.data(), static_cast<int64_t>(data.size()));
  Parse(data);
}

void TqvDnsMessage::Parse(const std::string& ADatagram) {
  Clear();
  if (ADatagram.empty()) return;
  TqvDnsReader r(ADatagram);
  Header.ID = r.ReadWord();
  const uint16_t flags = r.ReadWord();
  Header.IsQuery = (flags & 0x8000) == 0;
  const int opcode = (flags >> 11) & 0x0F;
  Header.Opcode = opcode == 1   ? TqvDnsOpcode::InverseQuery
                  : opcode == 2 ? TqvDnsOpcode::ServerStatus
                                : TqvDnsOpcode::StandardQuery;
  Header.IsAuthoritativeAnswer = (flags & 0x0400) != 0;
  Header.IsTruncated = (flags & 0x0200) != 0;
  Header.IsRecursionDesired = (flags & 0x0100) != 0;
  Header.IsRecursionAvailable = (flags & 0x0080) != 0;
  Header.ResponseCode = flags & 0x0F;
  Header.QueryCount = r.ReadWord();
  Header.AnswerCount = r.ReadWord();
  Header.NameServerCount = r.ReadWord();
  Header.AdditionalCount = r.ReadWord();

  for (int i = 0; i < Header.QueryCount; ++i) {
    const std::string name = r.ReadName();
    const int type = r.ReadWord();
    const int cls = r.ReadWord();
    TqvDnsRecord* q = Queries.Add(CreateRecord(type));
    q->Name = name;
    q->RecordClass = ClassFromWire(cls);
  }
  const std::pair<TqvDnsRecordList*, int> sections[] = {{&Answers, Header.AnswerCount},
                                                         {&Authorities, Header.NameServerCount},
                                                         {&AdditionalRecords, Header.AdditionalCount}};
  for (const auto& [list, count] : sections) {
    for (int i = 0; i < count; ++i) {
      const std::string name = r.ReadName();
      const int type = r.ReadWord();
      TqvDnsRecord* rec = list->Add(CreateRecord(type));
      rec->Name = name;
      rec->RecordClass = ClassFromWire(r.ReadWord());
      rec->TTL = static_cast<int32_t>(r.ReadDWord());
      rec->DataLength = r.ReadWord();
      const size_t start = r.Position();
      if (r.Size() - start < rec->DataLength) RaiseInvalid();
      const size_t end = start + rec->DataLength;
      r.SetLimit(end);
      rec->ReadData(r);
      r.SetLimit(r.Size());
      r.SetPosition(end);
    }
  }
  if (Header.ResponseCode != 0) throw EqvDnsError(Header.ResponseCode);
}

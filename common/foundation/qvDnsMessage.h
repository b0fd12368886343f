// DNS messages: a header, four owning record lists and one record class per
// record type, built into one query datagram and parsed from one response.
// Integers are big-endian; names are written uncompressed and read with
// compression pointers. Parsing is bounded everywhere: every byte is checked
// before it is read, RDATA reads stop at RDLENGTH, a pointer chain longer
// than the message or a name over 255 bytes is refused. A build never grows
// past 512 bytes. Every failure is an EqvDnsError: -1 "The size of the
// datagram is invalid" for malformed or oversized data, the response-code
// texts for a non-zero RCODE (raised after the sections were read), and 2
// "Server failure" for a record that cannot be written. Objects belong to one
// thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ClassCore.h"
#include "Streams.h"
#include "qvSocketUtils.h"

constexpr int qvDnsInvalidDatagram = -1;
constexpr int qvDnsBuildError = 2;
// The largest datagram a build writes.
constexpr int qvDnsMaxDatagram = 512;
// The longest name read or written, dots included.
constexpr int qvDnsMaxName = 255;
constexpr int qvDnsMaxLabel = 63;

// Record type codes.
constexpr int qvDnsTypeA = 1;
constexpr int qvDnsTypeNS = 2;
constexpr int qvDnsTypeCNAME = 5;
constexpr int qvDnsTypeSOA = 6;
constexpr int qvDnsTypePTR = 12;
constexpr int qvDnsTypeMX = 15;
constexpr int qvDnsTypeTXT = 16;
constexpr int qvDnsTypeAAAA = 28;

class EqvDnsError : public EqvSocketError {
 public:
  // The fixed text of a response code (1..5, else "Unspecified error").
  explicit EqvDnsError(int AResponseCode);
  EqvDnsError(std::string AMessage, int ACode) : EqvSocketError(std::move(AMessage), ACode) {}
  VX_CLASS_NAME("EqvDnsError")
};

// DNS names compare ignoring ASCII case.
[[nodiscard]] bool SameDnsName(const std::string& A, const std::string& B);

// The text EqvDnsError gives a response code.
[[nodiscard]] std::string GetDnsResponseText(int AResponseCode);

enum class TqvDnsOpcode { StandardQuery, InverseQuery, ServerStatus };
enum class TqvDnsRecordClass { IN, CH, HS };

class TqvDnsReader;
class TqvDnsWriter;

class TqvDnsMessageHeader : public TPersistent {
 public:
  // ID from the cryptographic generator, everything else false or 0.
  TqvDnsMessageHeader() { Clear(); }
  VX_CLASS_NAME("TqvDnsMessageHeader")
  void Assign(const TPersistent& Source) override;
  // A new ID; IsQuery becomes false, so callers set it.
  void Clear();

  uint16_t ID = 0;
  bool IsQuery = false;
  TqvDnsOpcode Opcode = TqvDnsOpcode::StandardQuery;
  bool IsAuthoritativeAnswer = false;
  bool IsTruncated = false;
  bool IsRecursionDesired = false;
  bool IsRecursionAvailable = false;
  int ResponseCode = 0;  // 0..15
  uint16_t QueryCount = 0;
  uint16_t AnswerCount = 0;
  uint16_t NameServerCount = 0;
  uint16_t AdditionalCount = 0;
};

// A record of a type without a class of its own: its data are skipped.
class TqvDnsRecord : public TPersistent {
 public:
  TqvDnsRecord() = default;
  explicit TqvDnsRecord(int AType) : RecordType(AType) {}
  VX_CLASS_NAME("TqvDnsRecord")
  // Copies the common fields, and a subclass its own when Source is of its class.
  void Assign(const TPersistent& Source) override;
  // The data bytes; the base writes none.
  virtual void WriteData(TqvDnsWriter& AWriter);
  // Reads the data at the reader's position, bounded by the RDATA end.
  virtual void ReadData(TqvDnsReader& AReader);
  // A new, empty record of this object's class.
  [[nodiscard]] virtual std::unique_ptr<TqvDnsRecord> Create() const;

  int RecordType = 0;
  TqvDnsRecordClass RecordClass = TqvDnsRecordClass::IN;
  std::string Name;  // dotted, no trailing dot
  int32_t TTL = 0;
  uint16_t DataLength = 0;
};

class TqvDnsARecord : public TqvDnsRecord {
 public:
  TqvDnsARecord() : TqvDnsRecord(qvDnsTypeA) {}
  VX_CLASS_NAME("TqvDnsARecord")
  void Assign(const TPersistent& Source) override;
  void WriteData(TqvDnsWriter& AWriter) override;
  void ReadData(TqvDnsReader& AReader) override;
  std::unique_ptr<TqvDnsRecord> Create() const override { return std::make_unique<TqvDnsARecord>(); }
  std::string IPAddress;
};

class TqvDnsNSRecord : public TqvDnsRecord {
 public:
  TqvDnsNSRecord() : TqvDnsRecord(qvDnsTypeNS) {}
  VX_CLASS_NAME("TqvDnsNSRecord")
  void Assign(const TPersistent& Source) override;
  void WriteData(TqvDnsWriter& AWriter) override;
  void ReadData(TqvDnsReader& AReader) override;
  std::unique_ptr<TqvDnsRecord> Create() const override { return std::make_unique<TqvDnsNSRecord>(); }
  std::string NameServer;
};

class TqvDnsCNAMERecord : public TqvDnsRecord {
 public:
  TqvDnsCNAMERecord() : TqvDnsRecord(qvDnsTypeCNAME) {}
  VX_CLASS_NAME("TqvDnsCNAMERecord")
  void Assign(const TPersistent& Source) override;
  void WriteData(TqvDnsWriter& AWriter) override;
  void ReadData(TqvDnsReader& AReader) override;
  std::unique_ptr<TqvDnsRecord> Create() const override { return std::make_unique<TqvDnsCNAMERecord>(); }
  std::string PrimaryName;
};

class TqvDnsSOARecord : public TqvDnsRecord {
 public:
  TqvDnsSOARecord() : TqvDnsRecord(qvDnsTypeSOA) {}
  VX_CLASS_NAME("TqvDnsSOARecord")
  void Assign(const TPersistent& Source) override;
  void WriteData(TqvDnsWriter& AWriter) override;
  void ReadData(TqvDnsReader& AReader) override;
  std::unique_ptr<TqvDnsRecord> Create() const override { return std::make_unique<TqvDnsSOARecord>(); }
  std::string PrimaryNameServer;
  std::string ResponsibleMailbox;
  uint32_t SerialNumber = 0;
  uint32_t RefreshInterval = 0;
  uint32_t RetryInterval = 0;
  uint32_t ExpirationLimit = 0;
  uint32_t MinimumTTL = 0;
};

class TqvDnsPTRRecord : public TqvDnsRecord {
 public:
  TqvDnsPTRRecord() : TqvDnsRecord(qvDnsTypePTR) {}
  VX_CLASS_NAME("TqvDnsPTRRecord")
  void Assign(const TPersistent& Source) override;
  void WriteData(TqvDnsWriter& AWriter) override;
  void ReadData(TqvDnsReader& AReader) override;
  std::unique_ptr<TqvDnsRecord> Create() const override { return std::make_unique<TqvDnsPTRRecord>(); }
  std::string DomainName;
};

class TqvDnsMXRecord : public TqvDnsRecord {
 public:
  TqvDnsMXRecord() : TqvDnsRecord(qvDnsTypeMX) {}
  VX_CLASS_NAME("TqvDnsMXRecord")
  void Assign(const TPersistent& Source) override;
  void WriteData(TqvDnsWriter& AWriter) override;
  void ReadData(TqvDnsReader& AReader) override;
  std::unique_ptr<TqvDnsRecord> Create() const override { return std::make_unique<TqvDnsMXRecord>(); }
  uint16_t Preference = 0;
  std::string MailServer;
};

// Text is the first character-string; Strings holds every one of them, in
// order (a long key record spans several). A build writes Text alone.
class TqvDnsTXTRecord : public TqvDnsRecord {
 public:
  TqvDnsTXTRecord() : TqvDnsRecord(qvDnsTypeTXT) {}
  VX_CLASS_NAME("TqvDnsTXTRecord")
  void Assign(const TPersistent& Source) override;
  void WriteData(TqvDnsWriter& AWriter) override;
  void ReadData(TqvDnsReader& AReader) override;
  std::unique_ptr<TqvDnsRecord> Create() const override { return std::make_unique<TqvDnsTXTRecord>(); }
  // All strings joined without separator.
  [[nodiscard]] std::string JoinedText() const;
  std::string Text;
  std::vector<std::string> Strings;
};

class TqvDnsAAAARecord : public TqvDnsRecord {
 public:
  TqvDnsAAAARecord() : TqvDnsRecord(qvDnsTypeAAAA) {}
  VX_CLASS_NAME("TqvDnsAAAARecord")
  void Assign(const TPersistent& Source) override;
  void WriteData(TqvDnsWriter& AWriter) override;
  void ReadData(TqvDnsReader& AReader) override;
  std::unique_ptr<TqvDnsRecord> Create() const override { return std::make_unique<TqvDnsAAAARecord>(); }
  std::string IPAddress;  // canonical text, "2001:DB8::1"
};

class TqvDnsRecordList : public TPersistent {
 public:
  TqvDnsRecordList() = default;
  TqvDnsRecordList(const TqvDnsRecordList&) = delete;
  TqvDnsRecordList& operator=(const TqvDnsRecordList&) = delete;
  VX_CLASS_NAME("TqvDnsRecordList")
  // Takes ownership; returns the record, valid until Clear.
  TqvDnsRecord* Add(std::unique_ptr<TqvDnsRecord> ARecord);
  void Clear() { FItems.clear(); }
  [[nodiscard]] int Count() const { return static_cast<int>(FItems.size()); }
  // EListError outside 0..Count-1.
  [[nodiscard]] TqvDnsRecord* Items(int AIndex) const;
  // The first record of AType named AName (case ignored), or null.
  [[nodiscard]] TqvDnsRecord* FindItem(const std::string& AName, int AType) const;
  // Copies of Source's records, each of its own class.
  void Assign(const TPersistent& Source) override;

 private:
  std::vector<std::unique_ptr<TqvDnsRecord>> FItems;
};

class TqvDnsMessage : public TPersistent {
 public:
  TqvDnsMessage() = default;
  TqvDnsMessage(const TqvDnsMessage&) = delete;
  TqvDnsMessage& operator=(const TqvDnsMessage&) = delete;
  VX_CLASS_NAME("TqvDnsMessage")
  void Assign(const TPersistent& Source) override;
  // A new header ID; all four lists emptied.
  void Clear();
  // The record class of a type code; any other code gives a plain record.
  [[nodiscard]] virtual std::unique_ptr<TqvDnsRecord> CreateRecord(int AType) const;
  // Writes the message as one datagram to AStream (at most 512 bytes).
  void Build(TStream& AStream);
  // Reads the bytes from AStream's position to its end; none gives an
  // empty message. Records read before an error stay in the lists.
  void Parse(TStream& AStream);
  // The same, from bytes.
  void Parse(const std::string& ADatagram);

  TqvDnsMessageHeader Header;
  TqvDnsRecordList Queries;
  TqvDnsRecordList Answers;
  TqvDnsRecordList Authorities;
  TqvDnsRecordList AdditionalRecords;
};

// A bounded cursor over a received datagram. Inline reads stop at Limit (the
// datagram end, or the RDATA end inside a record); names may follow pointers
// anywhere before the datagram end. Every overrun raises -1.
class TqvDnsReader {
 public:
  explicit TqvDnsReader(const std::string& AData) : FData(AData), FLimit(AData.size()) {}
  [[nodiscard]] uint8_t ReadByte();
  [[nodiscard]] uint16_t ReadWord();
  [[nodiscard]] uint32_t ReadDWord();
  [[nodiscard]] std::string ReadBytes(size_t ACount);
  [[nodiscard]] std::string ReadName();
  // One length byte and its bytes; a length running past Limit raises -1.
  [[nodiscard]] std::string ReadCharString();
  [[nodiscard]] size_t Position() const { return FPos; }
  void SetPosition(size_t APos) { FPos = APos; }
  [[nodiscard]] size_t Limit() const { return FLimit; }
  // Never beyond the datagram end.
  void SetLimit(size_t ALimit);
  [[nodiscard]] size_t Size() const { return FData.size(); }

 private:
  void Need(size_t ACount) const;
  const std::string& FData;
  size_t FPos = 0;
  size_t FLimit;
};

// Appends to a buffer that never grows past 512 bytes (-1 beyond).
class TqvDnsWriter {
 public:
  void WriteByte(uint8_t AValue);
  void WriteWord(uint16_t AValue);
  void WriteDWord(uint32_t AValue);
  void WriteBytes(const std::string& ABytes);
  // Labels of 1..63 bytes, 255 bytes at most; one trailing dot allowed.
  // Anything else raises 2 "Server failure".
  void WriteName(const std::string& AName);
  // 1..255 bytes with a length byte; anything else a single 0 byte.
  void WriteCharString(const std::string& AText);
  void PatchWord(size_t APos, uint16_t AValue);
  [[nodiscard]] size_t Size() const { return FData.size(); }
  [[nodiscard]] const std::string& Data() const { return FData; }

 private:
  std::string FData;
};

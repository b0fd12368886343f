// Reading message text into the TqvMailMessage model (the parsing half of
// qvMailMessage): header fields into properties, parts into bodies, with the
// line positions IMAP FETCH relies on.
#include "qvMailHeader.h"
#include "qvMailMessage.h"
#include "qvMessageDkimLink.h"
#include "qvMessageLimits.h"
#include "qvMessageLines.h"
#include "qvTextUtils.h"
#include "qvMailDate.h"
#include "qvTextSplit.h"

using qvtext::LowerCase;
using qvtext::Trim;

namespace {

struct TParseScope {
  TParseScope(int& ACount) : Count(ACount) { ++Count; }
  ~TParseScope() {
    if (Count > 0) --Count;
  }
  TParseScope(const TParseScope&) = delete;
  TParseScope& operator=(const TParseScope&) = delete;
  int& Count;
};

std::string MainValue(const std::string& AValue) { return Trim(AValue.substr(0, AValue.find(';'))); }

bool StartsWithAny(const std::string& AText, std::initializer_list<const char*> APrefixes) {
  for (const char* p : APrefixes)
    if (AText.starts_with(p)) return true;
  return false;
}

// The parser only reads the lines; the field lists take a mutable pointer.
TStrings* Readable(const TStrings& ALines) { return const_cast<TStrings*>(&ALines); }

// Each field not named in ARegistered, as "Name: value".
void CollectExtraFields(const TqvMailHeaderFieldList& AFields, const TStrings& ARegistered, TStrings& AOut) {
  AOut.BeginUpdate();
  for (int i = 0; i < AFields.FieldCount(); ++i) {
    const std::string name = AFields.GetFieldName(i);
    if (ARegistered.IndexOf(name) < 0) AOut.Add(name + ": " + AFields.GetTrimmedFieldValue(i));
  }
  AOut.EndUpdate();
}

// A delimiter line: "--" boundary, maybe "--" after it, then only blanks or TABs.
bool IsDelimiter(const std::string& ALine, const std::string& AOpen, bool& AClosing) {
  if (!ALine.starts_with(AOpen)) return false;
  size_t end = ALine.size();
  while (end > AOpen.size() && (ALine[end - 1] == ' ' || ALine[end - 1] == '\t')) --end;
  const std::string_view rest = std::string_view(ALine).substr(AOpen.size(), end - AOpen.size());
  AClosing = rest == "--";
  return rest.empty() || AClosing;
}

// "begin", a blank, a 3-4 digit octal mode, a blank, a name, and a next line
// that can be uuencoded data: prose that merely starts with "begin" stays text.
bool IsUUBeginLine(const TStrings& ALines, int AIndex, std::string& AName) {
  const std::string line = ALines.Strings(AIndex);
  if (!line.starts_with("begin ")) return false;
  size_t pos = 6, digits = 0;
  while (pos < line.size() && line[pos] >= '0' && line[pos] <= '7') ++pos, ++digits;
  if (digits < 3 || digits > 4 || pos >= line.size() || line[pos] != ' ') return false;
  const std::string name = Trim(line.substr(pos + 1));
  if (name.empty() || AIndex + 1 >= ALines.Count()) return false;
  const std::string next = ALines.Strings(AIndex + 1);
  if (next.empty()) return false;
  for (const char c : next)
    if (c < 32 || c > 96) return false;
  AName = name.substr(0, kMaxUUFileName);
  return true;
}

}  // namespace

// ---- entry points ----

void TqvMailMessage::SetMessageSource(const TStrings& ALines) {
  TqvMessageUpdate update(this);
  Clear();
  ParseHeader(ALines);
  ParseBodies(ALines);
  if (FDkim) FDkim->Verify(ALines);
}

void TqvMailMessage::LoadFromStream(TStream& AStream) {
  TqvStreamLines lines(AStream);
  SetMessageSource(lines);
}

// ---- header ----

void TqvMailMessage::ParseContentType(TqvMailHeaderFieldList& AFields) {
  const std::string type = AFields.GetFieldValue("Content-Type");
  const bool mime = !type.empty() || !AFields.GetFieldValue("MIME-Version").empty();
  SetMessageFormat(mime ? mfMIME : mfUUencode);
  SetContentType(MainValue(type));
  SetContentSubType(AFields.GetItem(type, "type"));
  FBoundary = AFields.GetItem(type, "boundary");
  const std::string charSet = AFields.GetItem(type, "charset");
  if (!charSet.empty()) {
    SetCharSet(charSet);
    AFields.CharSet = FCharSet;
  }
}

void TqvMailMessage::ParseHeader(const TStrings& ALines) {
  TParseScope parse(FParseCount);
  TqvMailHeaderFieldList f = MakeFieldList();
  const int headerEnd = f.Parse(0, Readable(ALines));
  ParseContentType(f);
  SetContentDisposition(MainValue(f.GetFieldValue("Content-Disposition")));
  const std::string cte = LowerCase(f.GetFieldValue("Content-Transfer-Encoding"));
  SetEncoding(cte == "quoted-printable" ? cmQuotedPrintable : cte == "base64" ? cmBase64 : cmNone);
  f.HeaderEncoding = GetHeaderEncoding();
  FFrom.SetFullAddress(f.GetDecodedAddress("From"));
  f.GetAddressList("To", FToList);
  f.GetAddressList("Cc", FCCList);
  f.GetAddressList("Bcc", FBCCList);
  SetSubject(f.GetDecodedFieldValue("Subject"));

  // A date that cannot be read leaves the time of parsing.
  try {
    SetDate(Now());
    std::string text = f.GetFieldValue("Date");
    if (text.empty()) {
      const std::string received = f.GetFieldValue("Received");
      const size_t semi = received.rfind(';');
      if (semi != std::string::npos) text = Trim(received.substr(semi + 1, kMaxReceivedDateText));
    }
    if (!text.empty()) {
      TDateTime zone = 0;
      const TDateTime date = MailTimeToDateTime(text, zone);
      if (date != 0) {
        SetValue(FDate, date);
        FTimeZone = zone;
      }
    }
  } catch (const Exception&) {
  }

  const auto priority = [&](const char* AName, const char* ALow, const char* AHigh) {
    const std::string v = f.GetFieldValue(AName);
    if (FPriority != mpNormal || v.empty()) return;
    if (qvtext::SameText(v, ALow)) SetPriority(mpLow);
    if (qvtext::SameText(v, AHigh)) SetPriority(mpHigh);
  };
  priority("Importance", "low", "high");
  priority("X-Priority", "5", "1");
  priority("X-MSMail-Priority", "low", "high");

  SetReplyTo(f.GetDecodedAddress("Reply-To"));
  SetReadReceiptTo(f.GetDecodedAddress("Disposition-Notification-To"));
  SetListUnsubscribe(f.GetDecodedAddress("List-Unsubscribe"));
  SetMessageID(f.GetFieldValue("Message-ID"));
  ExtractWords(f.GetFieldValue("Newsgroups"), FNewsGroups, ',');
  ExtractWords(f.GetFieldValue("References"), FReferences, ' ');
  SetMimeOLE(f.GetFieldValue("X-MimeOLE"));

  FRawHeader.BeginUpdate();
  FRawHeader.Clear();
  for (int i = 0; i < headerEnd; ++i) FRawHeader.Add(ALines.Strings(i));
  FRawHeader.EndUpdate();
  FBodyStart = headerEnd < ALines.Count() ? headerEnd + 1 : ALines.Count();
  CollectExtraFields(f, FRegisteredFields, FExtraFields);
}

// ---- bodies ----

void TqvMailMessage::ParseBodies(const TStrings& ALines) {
  TParseScope parse(FParseCount);
  if (GetIsMultiPartContent()) {
    ParseMultipart(ALines);
    if (FBodies->Count() > 0) return;
  }
  ParseSingle(ALines);
  DropEmptyTextBodies();
}

void TqvMailMessage::HandOver(TqvMessageBody* ABody, int ALineCount) {
  if (ABody && FDataBuffer->Size() > 0) {
    FDataBuffer->SetPosition(0);
    ABody->AddData(*FDataBuffer, ALineCount);
  }
  FDataBuffer->Clear();
}

void TqvMailMessage::ParseMultipart(const TStrings& ALines) {
  // Without a boundary every "--" line would look like a delimiter.
  if (Trim(FBoundary).empty()) return;
  const std::string open = "--" + FBoundary;
  const int count = ALines.Count();
  TqvMessageBody* body = nullptr;
  int dataStart = 0;
  std::string pending;
  FDataBuffer->Clear();
  const auto append = [this](const std::string& ALine) {
    FDataBuffer->WriteBuffer(ALine.data(), static_cast<int64_t>(ALine.size()));
    FDataBuffer->WriteBuffer("\r\n", 2);
  };
  for (int i = 0; i < count; ++i) {
    const std::string line = ALines.Strings(i);
    bool closing = false;
    if (!IsDelimiter(line, open, closing)) {
      if (body && i > dataStart) {
        append(pending);
        pending = line;
      }
      continue;
    }
    if (body && i > dataStart) append(pending);
    HandOver(body, i - dataStart);
    body = nullptr;
    if (closing) continue;
    TqvMailHeaderFieldList f = MakeFieldList();
    const int end = f.Parse(i, Readable(ALines));
    body = CreateBody(*FBodies, MainValue(f.GetFieldValue("Content-Type")),
                      MainValue(f.GetFieldValue("Content-Disposition")));
    body->ParseBodyHeader(f);
    TStrings& raw = body->RawHeaderLines();
    raw.BeginUpdate();
    for (int k = i + 1; k < end; ++k) raw.Add(ALines.Strings(k));
    raw.EndUpdate();
    CollectExtraFields(f, body->RegisteredNames(), body->ExtraFields());
    dataStart = std::min(end + 1, count - 1);
    body->SetPositions(i + 1, dataStart);
    pending = ALines.Strings(dataStart);
  }
  if (body) {
    append(pending);
    HandOver(body, count - dataStart - 1);
  }
}

void TqvMailMessage::ParseSingle(const TStrings& ALines) {
  const int count = ALines.Count();
  TqvMessageBody* main = nullptr;
  TqvAttachmentBody* block = nullptr;  // the open uuencoded block
  int start = 0;
  FDataBuffer->Clear();
  for (int i = 0; i < count; ++i) {
    const std::string line = ALines.Strings(i);
    if (!main) {
      if (line.empty()) {
        main = CreateSingleBody(ALines, *FBodies);
        main->SetPositions(0, i + 1);
        start = i;
      }
      continue;
    }
    std::string name;
    if (IsUUBeginLine(ALines, i, name)) {
      SetMessageFormat(mfUUencode);
      HandOver(block ? block : main, 0);
      block = CreateUUAttachment(*FBodies, name);
      continue;
    }
    // "end" closes an open block; anywhere else it is text.
    if (block && LowerCase(Trim(line)) == "end") {
      HandOver(block, 0);
      block = nullptr;
      continue;
    }
    FDataBuffer->WriteBuffer(line.data(), static_cast<int64_t>(line.size()));
    FDataBuffer->WriteBuffer("\r\n", 2);
  }
  // A block without "end" still gets its data.
  if (block)
    HandOver(block, 0);
  else if (main)
    HandOver(main, count - start - 1);
}

void TqvMailMessage::DropEmptyTextBodies() {
  for (int i = FBodies->Count() - 1; i >= 0; --i) {
    const auto* text = dynamic_cast<const TqvTextBody*>(FBodies->Items(i));
    if (text && Trim(text->Strings().Text()).empty()) FBodies->Delete(i);
  }
}

TqvMessageBody* TqvMailMessage::CreateBody(TqvMessageBodies& ABodies, const std::string& AContentType,
                                           const std::string& ADisposition) {
  const std::string type = LowerCase(AContentType);
  const std::string disp = LowerCase(ADisposition);
  if (type.starts_with("multipart/")) {
    // Deeper nesting is kept whole, as an opaque part.
    if (ABodies.Depth < kMaxMimeDepth) return ABodies.Add<TqvMultipartBody>();
    return ABodies.Add<TqvAttachmentBody>();
  }
  if (type.starts_with("image/") && disp != "attachment") return ABodies.Add<TqvImageBody>();
  if (disp == "attachment") return ABodies.Add<TqvAttachmentBody>();
  if (StartsWithAny(type, {"application/", "message/", "audio/", "video/", "image/"}))
    return ABodies.Add<TqvAttachmentBody>();
  if (type.starts_with("text/")) return ABodies.Add<TqvTextBody>();
  return ABodies.Add<TqvAttachmentBody>();
}

TqvMessageBody* TqvMailMessage::CreateSingleBody(const TStrings& ALines, TqvMessageBodies& ABodies) {
  TqvMailHeaderFieldList f = MakeFieldList();
  const int end = f.Parse(0, Readable(ALines));
  const std::string type = LowerCase(FContentType);
  TqvMessageBody* body = nullptr;
  if (LowerCase(FContentDisposition) == "attachment" ||
      StartsWithAny(type, {"application/", "message/", "audio/", "video/"}))
    body = ABodies.Add<TqvAttachmentBody>();
  else
    body = ABodies.Add<TqvTextBody>();
  body->ParseBodyHeader(f);
  TStrings& raw = body->RawHeaderLines();
  raw.BeginUpdate();
  for (int k = 0; k < end; ++k) raw.Add(ALines.Strings(k));
  raw.EndUpdate();
  CollectExtraFields(f, body->RegisteredNames(), body->ExtraFields());
  return body;
}

TqvAttachmentBody* TqvMailMessage::CreateUUAttachment(TqvMessageBodies& ABodies, const std::string& AFileName) {
  auto* body = ABodies.Add<TqvAttachmentBody>();
  body->SetFileName(AFileName);
  body->SetEncoding(cmUUEncode);
  return body;
}

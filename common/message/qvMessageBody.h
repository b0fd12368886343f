// The body parts of a TqvMailMessage: the owned, ordered list TqvMessageBodies
// and the family under TqvMessageBody: text (lines in a charset), attachment
// (bytes that travel through the message's events or a file), inline image
// (an attachment with a Content-ID) and nested multipart (its parts live in
// an inner message that uses the outer message's settings and events). A
// body writes its part header and its encoded data when the message is
// built, and takes decoded data when the message is parsed. One thread at a
// time, the message's. Creating a body outside a list, or a list without a
// message, raises EAssertionFailed; an attachment file that cannot be opened
// raises EFOpenError to the builder's caller; decode errors follow the
// message's ErrorProcessing. File names read from mail are kept as written
// (they may hold paths): use SafeAttachmentFileName before touching a disk.
#pragma once

#include "ClassCore.h"
#include "StringList.h"
#include "qvEncoder.h"

#include <memory>
#include <string>
#include <vector>

class TStream;
class TqvMailMessage;
class TqvMailHeaderFieldList;
class TqvLineSink;
class TqvMessageBody;

class TqvMessageBodies : public TPersistent {
 public:
  // AMessage is required: its settings and events serve every body.
  explicit TqvMessageBodies(TqvMailMessage* AMessage);
  ~TqvMessageBodies() override;
  TqvMessageBodies(const TqvMessageBodies&) = delete;
  TqvMessageBodies& operator=(const TqvMessageBodies&) = delete;
  VX_CLASS_NAME("TqvMessageBodies")

  [[nodiscard]] int Count() const { return static_cast<int>(FItems.size()); }
  // Raises EListError out of range.
  [[nodiscard]] TqvMessageBody* Items(int AIndex) const;
  // A new body of class T at the end of the list; the message changes.
  template <class T>
  T* Add() {
    auto body = std::make_unique<T>(this);
    T* result = body.get();
    Adopt(std::move(body));
    return result;
  }
  // A new attachment taking its data from the file AFileName.
  class TqvAttachmentBody* AddAttachment(const std::string& AFileName);
  void Clear();
  void Delete(int AIndex);
  [[nodiscard]] int IndexOf(const TqvMessageBody* ABody) const;
  // Bodies of the same classes with the same contents, inside one update.
  void Assign(const TPersistent& Source) override;

  // The message whose settings and events the bodies use (for the bodies of
  // a nested multipart, the outermost message).
  [[nodiscard]] TqvMailMessage* Message() const { return FMessage; }
  void SetMessage(TqvMailMessage* AMessage);
  // 0 for a message's own bodies, one more inside each nested multipart.
  int Depth = 0;

 private:
  void Adopt(std::unique_ptr<TqvMessageBody> ABody);

  TqvMailMessage* FMessage;
  std::vector<std::unique_ptr<TqvMessageBody>> FItems;
};

class TqvMessageBody : public TPersistent {
 public:
  explicit TqvMessageBody(TqvMessageBodies* AOwner);
  ~TqvMessageBody() override;
  TqvMessageBody(const TqvMessageBody&) = delete;
  TqvMessageBody& operator=(const TqvMessageBody&) = delete;
  VX_CLASS_NAME("TqvMessageBody")

  void Assign(const TPersistent& Source) override;
  // An empty body of this class at the end of AList.
  virtual TqvMessageBody* AddSameClass(TqvMessageBodies& AList) const = 0;

  [[nodiscard]] const std::string& ContentType() const { return FContentType; }
  virtual void SetContentType(const std::string& AValue);
  [[nodiscard]] TqvEncodeMethod Encoding() const { return FEncoding; }
  void SetEncoding(TqvEncodeMethod AValue);
  [[nodiscard]] const std::string& ContentDisposition() const { return FContentDisposition; }
  void SetContentDisposition(const std::string& AValue);
  [[nodiscard]] TStrings& ExtraFields() { return FExtraFields; }
  [[nodiscard]] const TStrings& ExtraFields() const { return FExtraFields; }

  // Recorded by the parser: the part's header lines, the size and line count
  // of its encoded data, and the indexes of its first header and data lines
  // in the whole message text.
  [[nodiscard]] const TStrings& RawHeader() const { return FRawHeader; }
  [[nodiscard]] int64_t EncodedSize() const { return FEncodedSize; }
  [[nodiscard]] int EncodedLines() const { return FEncodedLines; }
  [[nodiscard]] int DataStart() const { return FDataStart; }
  [[nodiscard]] int HeaderStart() const { return FHeaderStart; }
  // Set by the parser (and moved by an enclosing multipart part).
  void SetPositions(int AHeaderStart, int ADataStart) {
    FHeaderStart = AHeaderStart;
    FDataStart = ADataStart;
  }

  [[nodiscard]] TqvMessageBodies* Owner() const { return FOwner; }
  [[nodiscard]] TqvMailMessage* Message() const { return FOwner->Message(); }

  [[nodiscard]] virtual bool HasEncodedData() const { return true; }
  // The message's Encoding for a single-part message that sets one, else the body's own.
  [[nodiscard]] virtual TqvEncodeMethod GetEncoding() const;
  virtual void AssignBodyHeader(TqvMailHeaderFieldList& AFields);
  virtual void ParseBodyHeader(TqvMailHeaderFieldList& AFields);
  // The data to encode / where decoded data goes; null for none.
  [[nodiscard]] virtual std::unique_ptr<TStream> GetSourceStream() = 0;
  [[nodiscard]] virtual std::unique_ptr<TStream> GetDestinationStream() = 0;
  virtual void Clear();

  // Parser: takes the encoded data of ALineCount lines from AStream's start.
  void AddData(TStream& AStream, int ALineCount);
  // Builder: the encoded data as lines.
  virtual void WriteEncodedData(TqvLineSink& ASink);

 protected:
  friend class TqvMessageBodies;
  friend class TqvMailMessage;

  virtual void BeforeDataAdded(TStream& AStream);
  virtual void DataAdded(TStream& AStream);
  virtual void DecodeData(TStream& ASource, TStream& ADestination);
  virtual void DoCreate();
  virtual void AssignEncodingIfNeed();
  virtual void RegisterFields();
  void Changed();
  void PrepareEncoder();
  [[nodiscard]] TStrings& RegisteredNames() { return FRegisteredNames; }
  void SetEncodedLines(int ALines) { FEncodedLines = ALines; }
  [[nodiscard]] TStrings& RawHeaderLines() { return FRawHeader; }

  TqvEncoder FEncoder;

 private:
  TqvMessageBodies* FOwner;
  std::string FContentType;
  TqvEncodeMethod FEncoding = cmNone;
  std::string FContentDisposition;
  TStringList FExtraFields;
  TStringList FRegisteredNames;
  TStringList FRawHeader;
  int64_t FEncodedSize = 0;
  int FEncodedLines = 0;
  int FDataStart = 0;
  int FHeaderStart = 0;
};

class TqvTextBody : public TqvMessageBody {
 public:
  explicit TqvTextBody(TqvMessageBodies* AOwner);
  VX_CLASS_NAME("TqvTextBody")
  TqvMessageBody* AddSameClass(TqvMessageBodies& AList) const override;
  void Assign(const TPersistent& Source) override;

  // The text; a change chooses the encoding (when none is set) and changes the message.
  [[nodiscard]] TStrings& Strings() { return FStrings; }
  [[nodiscard]] const TStrings& Strings() const { return FStrings; }
  [[nodiscard]] const std::string& CharSet() const { return FCharSet; }
  void SetCharSet(const std::string& AValue);
  // The body's own charset in a multipart message, else the message's.
  [[nodiscard]] std::string GetCharSet() const;

  void AssignBodyHeader(TqvMailHeaderFieldList& AFields) override;
  void ParseBodyHeader(TqvMailHeaderFieldList& AFields) override;
  [[nodiscard]] std::unique_ptr<TStream> GetSourceStream() override;
  [[nodiscard]] std::unique_ptr<TStream> GetDestinationStream() override;
  void Clear() override;

 protected:
  void DataAdded(TStream& AStream) override;

 private:
  TStringList FStrings;
  std::string FCharSet;
};

class TqvAttachmentBody : public TqvMessageBody {
 public:
  explicit TqvAttachmentBody(TqvMessageBodies* AOwner);
  VX_CLASS_NAME("TqvAttachmentBody")
  TqvMessageBody* AddSameClass(TqvMessageBodies& AList) const override;
  void Assign(const TPersistent& Source) override;

  [[nodiscard]] const std::string& FileName() const { return FFileName; }
  // Chooses the encoding from the file (when none is set) and changes the
  // message. Outside parsing, the file is the one building reads.
  virtual void SetFileName(const std::string& AValue);
  // Without angle brackets.
  [[nodiscard]] const std::string& ContentID() const { return FContentID; }
  void SetContentID(const std::string& AValue);

  [[nodiscard]] TqvEncodeMethod GetEncoding() const override;
  void AssignBodyHeader(TqvMailHeaderFieldList& AFields) override;
  void ParseBodyHeader(TqvMailHeaderFieldList& AFields) override;
  [[nodiscard]] std::unique_ptr<TStream> GetSourceStream() override;
  [[nodiscard]] std::unique_ptr<TStream> GetDestinationStream() override;
  void Clear() override;

 protected:
  void DataAdded(TStream& AStream) override;
  void RegisterFields() override;
  void StoreFileName(const std::string& AValue);
  void StoreContentID(const std::string& AValue);

 private:
  std::string FFileName;
  std::string FContentID;
  bool FChoosingEncoding = false;
  // FileName names a file the application chose (SetFileName outside
  // parsing, or OnLoadAttachment); a name read from a message never is, so
  // building never opens a file that a mail names.
  bool FNamedByCaller = false;
};

class TqvImageBody : public TqvAttachmentBody {
 public:
  explicit TqvImageBody(TqvMessageBodies* AOwner) : TqvAttachmentBody(AOwner) {}
  VX_CLASS_NAME("TqvImageBody")
  TqvMessageBody* AddSameClass(TqvMessageBodies& AList) const override;

  // Also makes a ContentID and an "image/<extension>" type when they are empty.
  void SetFileName(const std::string& AValue) override;
  void AssignBodyHeader(TqvMailHeaderFieldList& AFields) override;
  void ParseBodyHeader(TqvMailHeaderFieldList& AFields) override;
  void Clear() override;
};

class TqvMultipartBody : public TqvMessageBody {
 public:
  explicit TqvMultipartBody(TqvMessageBodies* AOwner);
  ~TqvMultipartBody() override;
  VX_CLASS_NAME("TqvMultipartBody")
  TqvMessageBody* AddSameClass(TqvMessageBodies& AList) const override;
  void Assign(const TPersistent& Source) override;

  [[nodiscard]] TqvMessageBodies& Bodies() const;
  [[nodiscard]] std::string Boundary() const;
  void SetBoundary(const std::string& AValue);
  [[nodiscard]] const std::string& ContentSubType() const { return FContentSubType; }
  void SetContentSubType(const std::string& AValue);
  void SetContentType(const std::string& AValue) override;
  // The nested parts' own message (settings and events come from the outer one).
  [[nodiscard]] TqvMailMessage& Inner() const { return *FInner; }

  [[nodiscard]] bool HasEncodedData() const override { return false; }
  void AssignBodyHeader(TqvMailHeaderFieldList& AFields) override;
  void ParseBodyHeader(TqvMailHeaderFieldList& AFields) override;
  [[nodiscard]] std::unique_ptr<TStream> GetSourceStream() override;
  [[nodiscard]] std::unique_ptr<TStream> GetDestinationStream() override;
  void WriteEncodedData(TqvLineSink& ASink) override;
  void Clear() override;

 protected:
  void DoCreate() override;
  void DataAdded(TStream& AStream) override;

 private:
  std::unique_ptr<TqvMailMessage> FInner;
  std::string FContentSubType;
};

// A name for the file system: NUL, quote, "*", "/", ":", "<", ">", "?", "\" and
// "|" become "_", one trailing blank or "." goes, and an empty result is "_".
[[nodiscard]] std::string SanitizeFileName(std::string_view AName);
// The last path element of a name read from mail (either slash, ":"), sanitised,
// never "." or "..": what an application may safely create in its own folder.
[[nodiscard]] std::string SafeAttachmentFileName(std::string_view AName);
// The text after the last "/", "\" or ":".
[[nodiscard]] std::string ExtractMailFileName(std::string_view AName);

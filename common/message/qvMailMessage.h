// The MIME message component: header fields as properties, the body parts
// as TqvMessageBodies, and the two directions between the model and the
// message text held as lines. Reading MessageSource builds the text (cached
// until the next change, each build with a new boundary); writing it parses
// text back into the model, leniently (malformed input reads as empty or
// default values, never raises). SaveToStream / LoadFromStream do the same
// over byte streams without holding the whole text in memory. A linked DKIM
// component signs what is built and verifies what is parsed. One thread at a
// time. Raises: what an attachment source or the DKIM link raises, decode
// errors under meStop, EAssertionFailed for broken preconditions (a header
// line holding CR or LF). Setters change the message only when the value
// differs; every change drops the cached text and fires OnChanged, once per
// outermost BeginUpdate/EndUpdate.
#pragma once

#include "ClassCore.h"
#include "DateTime.h"
#include "StringList.h"
#include "qvEmailAddress.h"
#include "qvEncoder.h"
#include "qvMessageBody.h"

#include <functional>
#include <memory>
#include <string>

class TStream;
class TqvMailHeaderFieldList;
class TqvMessageDkimLink;
class TqvLineSink;
class TqvSpoolStream;

enum TqvMessagePriority { mpLow, mpNormal, mpHigh };
enum TqvMessageFormat { mfNone, mfMIME, mfUUencode };
enum TqvMessageErrorProcessing { meExtractMaximumData, meIgnore, meStop };

// The handler may give a stream (the body frees it after use) and change the file name.
using TqvGetBodyStreamEvent = std::function<void(TObject* Sender, TqvAttachmentBody* ABody, std::string& AFileName,
                                                 std::unique_ptr<TStream>& AData, bool& Handled)>;
using TqvAttachmentSavedEvent =
    std::function<void(TObject* Sender, TqvAttachmentBody* ABody, const std::string& AFileName, TStream& AData)>;
using TqvBodyDataAddedEvent = std::function<void(TObject* Sender, TqvMessageBody* ABody, TStream& AData)>;
using TqvBodyEncodingProgress =
    std::function<void(TObject* Sender, TqvMessageBody* ABody, int64_t ABytesProceed, int64_t ATotalBytes)>;

// BeginUpdate now, EndUpdate on every way out of the scope.
class TqvMessageUpdate {
 public:
  explicit TqvMessageUpdate(class TqvMailMessage* AMessage);
  ~TqvMessageUpdate();
  TqvMessageUpdate(const TqvMessageUpdate&) = delete;
  TqvMessageUpdate& operator=(const TqvMessageUpdate&) = delete;

 private:
  TqvMailMessage* FMessage;
};

// Content-Transfer-Encoding value of a method ("" for uuencode: not written).
[[nodiscard]] const char* TransferEncodingName(TqvEncodeMethod AMethod);

class TqvMailMessage : public TComponent {
 public:
  explicit TqvMailMessage(TComponent* AOwner = nullptr);
  ~TqvMailMessage() override;
  VX_CLASS_NAME("TqvMailMessage")

  // ---- properties ----
  [[nodiscard]] TqvMessageBodies& Bodies() { return *FBodies; }
  [[nodiscard]] const TqvMessageBodies& Bodies() const { return *FBodies; }
  void SetBodies(const TqvMessageBodies& AValue) { FBodies->Assign(AValue); }
  [[nodiscard]] const std::string& Subject() const { return FSubject; }
  void SetSubject(const std::string& AValue) { SetText(FSubject, AValue); }
  [[nodiscard]] TqvEmailAddressItem& From() { return FFrom; }
  [[nodiscard]] const TqvEmailAddressItem& From() const { return FFrom; }
  [[nodiscard]] TqvEmailAddressList& ToList() { return FToList; }
  [[nodiscard]] TqvEmailAddressList& CCList() { return FCCList; }
  [[nodiscard]] TqvEmailAddressList& BCCList() { return FBCCList; }
  [[nodiscard]] TqvMessagePriority Priority() const { return FPriority; }
  void SetPriority(TqvMessagePriority AValue) { SetValue(FPriority, AValue); }
  [[nodiscard]] TDateTime Date() const { return FDate; }
  // Also stores the local time-zone offset in force at AValue.
  void SetDate(TDateTime AValue);
  // The offset that belongs to Date, as a fraction of a day.
  [[nodiscard]] TDateTime TimeZone() const { return FTimeZone; }
  [[nodiscard]] const std::string& CharSet() const { return FCharSet; }
  // "iso-2022-jp" in any case also sets Encoding cm8Bit and AllowESC.
  void SetCharSet(const std::string& AValue);
  [[nodiscard]] const std::string& ContentType() const { return FContentType; }
  void SetContentType(const std::string& AValue) { SetText(FContentType, AValue); }
  [[nodiscard]] const std::string& ContentSubType() const { return FContentSubType; }
  void SetContentSubType(const std::string& AValue) { SetText(FContentSubType, AValue); }
  [[nodiscard]] const std::string& ContentDisposition() const { return FContentDisposition; }
  void SetContentDisposition(const std::string& AValue) { SetText(FContentDisposition, AValue); }
  [[nodiscard]] TqvMessageFormat MessageFormat() const { return FMessageFormat; }
  void SetMessageFormat(TqvMessageFormat AValue) { SetValue(FMessageFormat, AValue); }
  [[nodiscard]] TqvEncodeMethod Encoding() const { return FEncoding; }
  void SetEncoding(TqvEncodeMethod AValue) { SetValue(FEncoding, AValue); }
  [[nodiscard]] TqvEncodeMethod HeaderEncoding() const { return FHeaderEncoding; }
  void SetHeaderEncoding(TqvEncodeMethod AValue) { SetValue(FHeaderEncoding, AValue); }
  [[nodiscard]] const std::string& MimeOLE() const { return FMimeOLE; }
  void SetMimeOLE(const std::string& AValue) { SetText(FMimeOLE, AValue); }
  [[nodiscard]] const std::string& ReplyTo() const { return FReplyTo; }
  void SetReplyTo(const std::string& AValue) { SetText(FReplyTo, AValue); }
  [[nodiscard]] TStrings& References() { return FReferences; }
  [[nodiscard]] TStrings& NewsGroups() { return FNewsGroups; }
  // One header line each: name, colon, blank, value.
  [[nodiscard]] TStrings& ExtraFields() { return FExtraFields; }
  [[nodiscard]] const std::string& ReadReceiptTo() const { return FReadReceiptTo; }
  void SetReadReceiptTo(const std::string& AValue) { SetText(FReadReceiptTo, AValue); }
  [[nodiscard]] const std::string& MessageID() const { return FMessageID; }
  void SetMessageID(const std::string& AValue) { SetText(FMessageID, AValue); }
  [[nodiscard]] const std::string& ListUnsubscribe() const { return FListUnsubscribe; }
  void SetListUnsubscribe(const std::string& AValue) { SetText(FListUnsubscribe, AValue); }
  [[nodiscard]] int CharsPerLine() const { return FCharsPerLine; }
  void SetCharsPerLine(int AValue) { SetValue(FCharsPerLine, AValue); }
  [[nodiscard]] bool AllowESC() const { return FAllowESC; }
  void SetAllowESC(bool AValue) { SetValue(FAllowESC, AValue); }
  [[nodiscard]] bool UseHeaderEncodingExtensions() const { return FUseHeaderEncodingExtensions; }
  void SetUseHeaderEncodingExtensions(bool AValue) { SetValue(FUseHeaderEncodingExtensions, AValue); }
  [[nodiscard]] TqvMessageErrorProcessing ErrorProcessing() const { return FErrorProcessing; }
  void SetErrorProcessing(TqvMessageErrorProcessing AValue) { SetValue(FErrorProcessing, AValue); }
  // Borrowed; dropped when the linked component is destroyed.
  [[nodiscard]] TqvMessageDkimLink* Dkim() const { return FDkim; }
  void SetDkim(TqvMessageDkimLink* AValue);

  TqvGetBodyStreamEvent OnSaveAttachment;
  TqvGetBodyStreamEvent OnLoadAttachment;
  TqvAttachmentSavedEvent OnAttachmentSaved;
  TqvBodyDataAddedEvent OnDataAdded;
  TqvBodyEncodingProgress OnEncodingProgress;

  // ---- state and operations ----
  // Resets the model but keeps CharSet, Encoding and HeaderEncoding.
  virtual void Clear();
  void BeginUpdate() { ++FUpdateCount; }
  // Never below zero; then Changed.
  void EndUpdate();
  // Drops the cached text and fires OnChanged, unless updating or being destroyed.
  void Changed();
  [[nodiscard]] bool Parsing() const { return FParseCount > 0; }
  // More than one body, a nested multipart as the only body, or a "multipart/" ContentType.
  [[nodiscard]] virtual bool GetIsMultiPartContent() const;
  // HeaderEncoding, or Encoding when that is cmNone.
  [[nodiscard]] TqvEncodeMethod GetHeaderEncoding() const;

  // The message text; valid until the next change.
  [[nodiscard]] const TStrings& MessageSource();
  // Parses ALines into the model (the lines are only read).
  void SetMessageSource(const TStrings& ALines);
  // The built text, each line + CR LF, streamed body by body.
  void SaveToStream(TStream& AStream);
  // Parses the text of a seekable stream read from its start; only line
  // offsets and the part being decoded are held, big parts in a temporary file.
  void LoadFromStream(TStream& AStream);

  [[nodiscard]] const std::string& Boundary() const { return FBoundary; }
  void SetBoundary(const std::string& AValue) { FBoundary = AValue; }
  // Recorded by the last parse.
  [[nodiscard]] const TStrings& RawHeader() const { return FRawHeader; }
  [[nodiscard]] int BodyStart() const { return FBodyStart; }
  // A new "Mark=_..." boundary; never equal to, nor a prefix of, another one
  // this process made.
  [[nodiscard]] static std::string GenerateBoundary();

  // Builds only the bodies (with boundaries) into ASink; makes a boundary when none is set.
  void BuildBodies(TqvLineSink& ASink);
  // Parses the body part of ALines; positions are indexes into ALines.
  void ParseBodies(const TStrings& ALines);

 protected:
  friend class TqvMessageBody;
  friend class TqvAttachmentBody;
  friend class TqvMultipartBody;

  virtual TqvMessageBody* CreateBody(TqvMessageBodies& ABodies, const std::string& AContentType,
                                     const std::string& ADisposition);
  virtual TqvMessageBody* CreateSingleBody(const TStrings& ALines, TqvMessageBodies& ABodies);
  virtual TqvAttachmentBody* CreateUUAttachment(TqvMessageBodies& ABodies, const std::string& AFileName);
  virtual void DoChanged() override;
  virtual void DoSaveAttachment(TqvAttachmentBody* ABody, std::string& AFileName, std::unique_ptr<TStream>& AData,
                                bool& Handled);
  virtual void DoLoadAttachment(TqvAttachmentBody* ABody, std::string& AFileName, std::unique_ptr<TStream>& AData,
                                bool& Handled);
  virtual void DoAttachmentSaved(TqvAttachmentBody* ABody, const std::string& AFileName, TStream& AData);
  virtual void DoDataAdded(TqvMessageBody* ABody, TStream& AData);
  virtual void DoEncodingProgress(TqvMessageBody* ABody, int64_t ABytesProceed, int64_t ATotalBytes);
  virtual void ParseContentType(TqvMailHeaderFieldList& AFields);
  virtual void AssignContentType(TqvMailHeaderFieldList& AFields);
  virtual void RegisterFields();
  virtual void ResetProperties();
  void Notification(TComponent* AComponent, TOperation Operation) override;

  void BeginParse() { ++FParseCount; }
  void EndParse() {
    if (FParseCount > 0) --FParseCount;
  }
  [[nodiscard]] TqvMailHeaderFieldList MakeFieldList() const;
  [[nodiscard]] const TStrings& RegisteredFields() const { return FRegisteredFields; }

 private:
  template <class T>
  void SetValue(T& AField, const T& AValue) {
    if (AField == AValue) return;
    AField = AValue;
    Changed();
  }
  void SetText(std::string& AField, const std::string& AValue) { SetValue(AField, AValue); }
  void BuildHeader(TStrings& ALines);
  void BuildLines(TStrings& ALines);
  [[nodiscard]] std::string AddressFingerprint() const;
  void ParseHeader(const TStrings& ALines);
  void ParseMultipart(const TStrings& ALines);
  void ParseSingle(const TStrings& ALines);
  void HandOver(TqvMessageBody* ABody, int ALineCount);
  void DropEmptyTextBodies();

  std::unique_ptr<TqvMessageBodies> FBodies;
  std::string FSubject;
  TqvEmailAddressItem FFrom;
  TqvEmailAddressList FToList, FCCList, FBCCList;
  TqvMessagePriority FPriority = mpNormal;
  TDateTime FDate = 0;
  TDateTime FTimeZone = 0;
  std::string FCharSet, FContentType, FContentSubType, FContentDisposition;
  TqvMessageFormat FMessageFormat = mfNone;
  TqvEncodeMethod FEncoding = cmNone;
  TqvEncodeMethod FHeaderEncoding = cmNone;
  std::string FMimeOLE, FReplyTo, FReadReceiptTo, FMessageID, FListUnsubscribe;
  TStringList FReferences, FNewsGroups, FExtraFields;
  int FCharsPerLine = 76;
  bool FAllowESC = false;
  bool FUseHeaderEncodingExtensions = false;
  TqvMessageErrorProcessing FErrorProcessing = meExtractMaximumData;
  TqvMessageDkimLink* FDkim = nullptr;

  std::string FBoundary;
  int FUpdateCount = 0;
  std::unique_ptr<TqvSpoolStream> FDataBuffer;
  int FParseCount = 0;
  TStringList FSource;
  bool FSourceValid = false;
  std::string FSourceAddresses;
  TStringList FRegisteredFields;
  TStringList FRawHeader;
  int FBodyStart = 0;
  int FLinesPosition = 0;
  bool FDestroying = false;
};

// The IMAP4 file store: answers a TqvImap4Server's mailbox and message events
// from a folder tree. MailBoxDir/<user folder>/ is the user's INBOX (the
// folder the SMTP store fills; made when INBOX is first looked up), each
// further mailbox a sub-folder (levels split at the server's separator), each
// message a regular file "MAIL%.8d.MSG". Every mailbox folder keeps
// "imap.dat" (subscription, UIDNext, UIDVALIDITY, last file number) and
// "messages.dat" (file name, UID, flags and stamp of each message; entries
// of older files that name the full path are read by its last part, so
// moving or renaming folders keeps UIDs and flags), each replaced whole
// (written aside, flushed, renamed over), never rewritten in place. Every
// change of a mailbox's state is made under its folder's lock on the state
// as stored then: UpdateMessages applies only the change from an item's
// StoredFlags to its Flags, and writes UIDNext before the entries whose UIDs
// it covers, both before it returns.
// Names are UTF-8 and path-safe: an unsafe user or mailbox name, or a folder
// reached through a symbolic link, has no folder, so no event reaches outside
// the user's folder (or SharedFolders); an account folder that is a link is
// never followed and is told to OnStoreError. Folders it makes have mode
// 0700, files 0600. Borrows its server and unbinds when it
// goes. Events run on the server's workers. Events of one mailbox folder
// run one at a time; those of different folders run side by side, and
// creating, deleting or renaming a mailbox waits for all of them. Between
// events the store keeps, for up to 64 folders besides those in use, each
// folder's parsed "messages.dat" (checked by its inode, size and times on
// every use), its message files' dates (by name and inode) and its sorted
// listing, read again when the folder's inotify watch tells of a message
// file made, renamed or removed (every event lists the folder when no watch
// can be had). GetMessages hands every session the same unchanging records
// (TqvImap4MessageSnapshot), made again once an entry or the listing
// changed; UpdateMessages passes over records of the current one, which
// say what is stored. Mail the SMTP store delivers is thus seen at the next event;
// only a message file rewritten in place could be missed, and no writer of
// the store does that. The state files are written only when they change.
// Damaged state files raise EStreamError ("Cannot load mailbox settings",
// "Cannot load messages"); exhausted file numbers raise "Cannot save new
// message"; other file errors raise EOSError.
#pragma once

#include <functional>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "ClassCore.h"
#include "Streams.h"
#include "qvMailStoreUtils.h"
#include "StringList.h"
#include "qvImap4Records.h"
#include "qvServerStore.h"

class TqvImap4Server;
class TqvImap4CommandConnection;
class TqvMessageSpool;

// "imap.dat" of one mailbox: version 1, Subscribed, UIDNext, UIDValidity,
// LastMessageNumber. Serialises the item it borrows.
class TqvImap4MailBoxStore : public TObject {
 public:
  explicit TqvImap4MailBoxStore(TqvImap4MailBoxItem& AMailBox) : FMailBox(AMailBox) {}
  VX_CLASS_NAME("TqvImap4MailBoxStore")
  [[nodiscard]] virtual int GetVersion() const { return 1; }
  // Raises EStreamError "Cannot load mailbox settings" for another version,
  // EReadError for a damaged stream.
  virtual void LoadFromStream(TStream& AStream);
  virtual void SaveToStream(TStream& AStream);

 private:
  TqvImap4MailBoxItem& FMailBox;
};

// "messages.dat" of one mailbox: version 2, the count, then per message its
// file name (older files: its path), UID (-1: none yet), flag text and the stamp of its entry (items'
// Date). Serialises the list it borrows.
class TqvImap4MessageStore : public TObject {
 public:
  explicit TqvImap4MessageStore(TqvImap4MessageList& AMessages) : FMessages(AMessages) {}
  VX_CLASS_NAME("TqvImap4MessageStore")
  [[nodiscard]] virtual int GetVersion() const { return 2; }
  // Clears the list first; raises EStreamError "Cannot load messages" for
  // another version, EReadError for a damaged stream.
  virtual void LoadFromStream(TStream& AStream);
  virtual void SaveToStream(TStream& AStream);

 private:
  TqvImap4MessageList& FMessages;
};

using TqvMessageNumberEvent = std::function<void(TObject* Sender, int& ANumber)>;

class TqvImap4FileHandler : public TqvServerStore<TqvImap4Server> {
 public:
  explicit TqvImap4FileHandler(TComponent* AOwner = nullptr);
  ~TqvImap4FileHandler() override;
  VX_CLASS_NAME("TqvImap4FileHandler")

  // Empty means no store: every mailbox is missing.
  [[nodiscard]] std::string MailBoxDir() const;
  void SetMailBoxDir(const std::string& Value);
  [[nodiscard]] std::string MailBoxInfoFile() const;
  void SetMailBoxInfoFile(const std::string& Value);
  [[nodiscard]] std::string MessagesInfoFile() const;
  void SetMessagesInfoFile(const std::string& Value);
  // Mailboxes every user sees (read, not created, deleted or renamed); in
  // force only while it names an existing folder.
  [[nodiscard]] std::string SharedFolders() const;
  void SetSharedFolders(const std::string& Value);

  // The server's events, which Bind sets to these.
  void GetMailBoxes(TObject* Sender, TqvImap4CommandConnection* AConnection, const std::string& ASelectedMailBox,
                    TqvImap4MailBoxList& AMailBoxes);
  void UpdateMailBox(TObject* Sender, TqvImap4CommandConnection* AConnection, TqvImap4MailBoxItem& AMailBox,
                     bool& Success);
  void CreateMailBox(TObject* Sender, TqvImap4CommandConnection* AConnection, const std::string& AMailBox,
                     bool& Success);
  void DeleteMailBox(TObject* Sender, TqvImap4CommandConnection* AConnection, const std::string& AMailBox,
                     bool& Success);
  void RenameMailBox(TObject* Sender, TqvImap4CommandConnection* AConnection, const std::string& ACurrentName,
                     const std::string& ANewName, bool& Success);
  void GetMessages(TObject* Sender, TqvImap4CommandConnection* AConnection, TqvImap4MessageList& AMessages,
                   const std::string& AMailBox, bool& Success);
  void UpdateMessages(TObject* Sender, TqvImap4CommandConnection* AConnection, TqvImap4MessageList& AMessages,
                      const std::string& AMailBox, bool& Success);
  void DeleteMessage(TObject* Sender, TqvImap4CommandConnection* AConnection, TqvImap4MessageItem& AMessage,
                     const std::string& AMailBox, bool& Success);
  void GetMessageSource(TObject* Sender, TqvImap4CommandConnection* AConnection, TStrings& AMessageSource,
                        const std::string& AMessageName, const std::string& AMailBox, bool& Success);
  void AppendMessage(TObject* Sender, TqvImap4CommandConnection* AConnection, TqvMailMessageFlags AFlags,
                     TDateTime ADate, const TStrings& AMessageSource, const std::string& AMailBox, bool& Success);
  // The server's OnCreateSpool and OnAppendSpooledMessage: a spool in the
  // mailbox's folder (none for a mailbox that does not exist), and the APPEND
  // of what it holds, stored from it by a rename as AppendMessage stores.
  void CreateSpool(TObject* Sender, TqvImap4CommandConnection* AConnection, const std::string& AMailBox,
                   std::unique_ptr<TqvMessageSpool>& ASpool);
  void AppendSpooledMessage(TObject* Sender, TqvImap4CommandConnection* AConnection, TqvMailMessageFlags AFlags,
                            TDateTime ADate, TqvMessageSpool& ASpool, const std::string& AMailBox, bool& Success);

  // An account folder refused (a link) or a folder that could not be made.
  TqvStoreErrorEvent OnStoreError;
  // The number of a new message file (APPEND, COPY): the host's message
  // counter, which the SMTP store draws from as well, so that no name is
  // used twice (POP3 UIDLs come from names). Unset, or a number below 1:
  // the folder's LastMessageNumber and the next free name after it.
  TqvMessageNumberEvent OnNewMessageNumber;

 protected:
  void Unbind() override;
  void Bind() override;
  // The user whose folder a connection sees: its UserName.
  [[nodiscard]] virtual std::string ConnectionUserName(TqvImap4CommandConnection* AConnection) const;
  virtual void DoStoreError(const std::exception& E);

 private:
  struct TMailBoxFolder;
  // AppendMessage with the message file AStage makes in the mailbox's folder.
  using TStageMessage = std::function<std::unique_ptr<TqvStagedFile>(const std::string& AFolder)>;
  void AppendStaged(TqvImap4CommandConnection* AConnection, TqvMailMessageFlags AFlags, TDateTime ADate,
                    const TStageMessage& AStage, const std::string& AMailBox, bool& Success);
  [[nodiscard]] std::string UserFolder(TqvImap4CommandConnection* AConnection) const;
  // MailBoxFolderName, kept by user name while the code page stays.
  [[nodiscard]] std::string FolderNameOf(const std::string& AUserName) const;
  [[nodiscard]] std::string SharedRoot() const;
  [[nodiscard]] char Separator() const;
  [[nodiscard]] TMailBoxFolder MailBoxFolder(TqvImap4CommandConnection* AConnection, const std::string& AName);
  // Opens the user's account folder without following a link at its name
  // (made, with the mailbox folder, when ACreate); true when that failed,
  // which OnStoreError is told. A missing folder without ACreate is no failure.
  [[nodiscard]] bool AccountFolderRefused(TqvImap4CommandConnection* AConnection, bool ACreate);
  void AddFolderTree(const std::string& AFolder, const std::string& APrefix, int ADepth,
                     TqvImap4MailBoxList& AMailBoxes);

  // What the store knows of one mailbox folder between events; see
  // qvImap4FolderIndex.h.
  struct TFolderIndex;
  struct TListedMessage;
  class TFolderWatch;
  using TFolderIndexPtr = std::shared_ptr<TFolderIndex>;
  // The index of a folder path, made empty on first use. Its Lock guards it
  // and every write of the folder's state files.
  [[nodiscard]] TFolderIndexPtr FolderIndex(const std::string& AFolder);
  void ForgetFolderIndexes();
  // The folder's "imap.dat" into AItem (read again only when the file
  // changed), written first with defaults when missing; the caller holds the
  // folder's index lock (LoadSettingsLocked takes it).
  void LoadSettings(TFolderIndex& AIndex, const std::string& AFolder, TqvImap4MailBoxItem& AItem,
                    bool ASubscribed) const;
  void LoadSettingsLocked(const std::string& AFolder, TqvImap4MailBoxItem& AItem, bool ASubscribed);
  void SaveSettings(TFolderIndex& AIndex, const std::string& AFolder, const TqvImap4MailBoxItem& AItem) const;
  // A UIDVALIDITY for a mailbox folder getting its settings: above the last
  // one given in its account (kept durably beside the account's mailboxes),
  // so a mailbox made again under an old name never has an old one.
  [[nodiscard]] std::string NewUIDValidity(const std::string& AFolder) const;
  // With the index locked: "messages.dat" as parsed entries (read again only
  // when the file changed), the folder's message files sorted by name (ASCII
  // case ignored) with their dates (the list is the index's own, valid until
  // its next listing), and the entries written back without those of files
  // not in the last listing.
  TqvImap4MessageList& Entries(TFolderIndex& AIndex, const std::string& AFolder) const;
  [[nodiscard]] const std::vector<TListedMessage>& ListMessages(TFolderIndex& AIndex, const std::string& AFolder);
  // Writes the entries with ALock (the index's) released while the file is
  // written; returns once a write that began after this call's change is on
  // disk, and raises when that write failed.
  void SaveEntries(std::unique_lock<std::mutex>& ALock, TFolderIndex& AIndex, const std::string& AFolder) const;
  // UpdateMessages for the record AItem of AMessages, with the index locked:
  // its entry takes a UID (from AUids) and the session's change of flags,
  // the record what the entry then holds, its file the record's date. True
  // when the entry changed.
  class TUidGiver;
  bool UpdateEntry(TFolderIndex& AIndex, const std::string& AFolder, TqvImap4MessageList& AMessages, int AItem,
                   TUidGiver& AUids) const;
  // With the index locked: the listed messages with their entries' UIDs and
  // flags, added to AMessages one by one.
  void AddListedMessages(TFolderIndex& AIndex, const std::string& AFolder, TqvImap4MessageList& AMessages) const;

  // Shared by the events of one mailbox folder (which then lock its index),
  // exclusive for creating, deleting and renaming mailboxes and for the
  // setters. Lock order: FLock, a folder index's Lock, FIndexLock.
  mutable std::shared_mutex FLock;
  std::mutex FIndexLock;
  std::unordered_map<std::string, TFolderIndexPtr> FIndexes;
  std::unique_ptr<TFolderWatch> FWatch;  // its lock comes after all others
  mutable std::mutex FNameLock;          // taken alone
  mutable std::mutex FValidityLock;      // after a folder index's Lock
  mutable std::unordered_map<std::string, std::string> FFolderNames;
  mutable uint32_t FNamesCodePage = 0;
  std::string FMailBoxDir;
  std::string FMailBoxInfoFile = "imap.dat";
  std::string FMessagesInfoFile = "messages.dat";
  std::string FSharedFolders;
};

// Class-library core: the object base every component stands on.
// TObject gives each class the name the log prints (never a mangled type name);
// Exception is the base of every error the library raises, with its message;
// TPersistent/TComponent/TCollection give the assign, owner and change-notification
// model the components use. Nothing here is thread-safe unless it says so; a
// component belongs to the thread that configures it. Raises only the errors below.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Declares the class name a class reports; put it in the public part of each class.
#define VX_CLASS_NAME(name) \
  const char* ClassName() const override { return name; }

class TObject {
 public:
  virtual ~TObject() = default;
  virtual const char* ClassName() const { return "TObject"; }
};

// Raw bytes, where a byte string would not do.
using TBytes = std::vector<uint8_t>;

using TNotifyEvent = std::function<void(TObject* Sender)>;
// Progress callback: always called first with (0, total).
using TqvProgressEvent =
    std::function<void(TObject* Sender, int64_t ABytesProceed, int64_t ATotalBytes)>;

class Exception : public std::exception, public TObject {
 public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}
  VX_CLASS_NAME("Exception")
  const std::string& Message() const noexcept { return FMessage; }
  void SetMessage(std::string m) { FMessage = std::move(m); }
  const char* what() const noexcept override { return FMessage.c_str(); }

 private:
  std::string FMessage;
};

class EConvertError : public Exception {
 public:
  using Exception::Exception;
  VX_CLASS_NAME("EConvertError")
};

class EAssertionFailed : public Exception {
 public:
  EAssertionFailed() : Exception("Assertion failure") {}
  // An operation a class does not support at all ("Not implemented").
  explicit EAssertionFailed(std::string AMessage) : Exception(std::move(AMessage)) {}
  VX_CLASS_NAME("EAssertionFailed")
};

class EDivByZero : public Exception {
 public:
  EDivByZero() : Exception("Division by zero") {}
  VX_CLASS_NAME("EDivByZero")
};

class EInvalidOperation : public Exception {
 public:
  using Exception::Exception;
  VX_CLASS_NAME("EInvalidOperation")
};

class EInvalidCast : public Exception {
 public:
  EInvalidCast() : Exception("Invalid class typecast") {}
  VX_CLASS_NAME("EInvalidCast")
};

class EListError : public Exception {
 public:
  using Exception::Exception;
  VX_CLASS_NAME("EListError")
  // The error every list raises for an index outside its range.
  static EListError OutOfBounds(int Index) {
    return EListError("List index out of bounds (" + std::to_string(Index) + ")");
  }
};

// An error of the operating system: a platform error code and its text.
class EOSError : public Exception {
 public:
  EOSError(uint32_t code, std::string message) : Exception(std::move(message)), ErrorCode(code) {}
  VX_CLASS_NAME("EOSError")
  uint32_t ErrorCode;
};

// A broken precondition of a call raises the assertion error.
inline void Assert(bool condition) {
  if (!condition) throw EAssertionFailed();
}

// The one shape of a property setter: stores AValue only when it differs,
// and says whether it did, so the caller fires its change notification.
template <class T>
[[nodiscard]] bool AssignIfDifferent(T& AField, const T& AValue) {
  if (AField == AValue) return false;
  AField = AValue;
  return true;
}

class TPersistent : public TObject {
 public:
  VX_CLASS_NAME("TPersistent")
  // Copies Source into this object; the base refuses any source.
  virtual void Assign(const TPersistent& Source);
};

enum class TOperation { opInsert, opRemove };

// A component has a name, an owner that is told when it goes, and change
// notification that BeginUpdate/EndUpdate defer. The owner does not free it:
// C++ members and smart pointers own components.
class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* AOwner = nullptr);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;
  VX_CLASS_NAME("TComponent")

  TComponent* Owner() const { return FOwner; }
  const std::string& Name() const { return FName; }
  void SetName(const std::string& n) { FName = n; }

  // AComponent is told (Notification opRemove) when this component is destroyed.
  void FreeNotification(TComponent* AComponent);
  void RemoveFreeNotification(TComponent* AComponent);

  void BeginUpdate() { ++FUpdateCount; }
  void EndUpdate();
  bool Updating() const { return FUpdateCount > 0; }
  // Fires OnChanged now, or once at the outer EndUpdate.
  void Changed();

  TNotifyEvent OnChanged;

 protected:
  virtual void Notification(TComponent* AComponent, TOperation Operation);
  virtual void DoChanged();

 private:
  TComponent* FOwner;
  std::string FName;
  std::vector<TComponent*> FFreeNotifies;
  int FUpdateCount = 0;
  bool FChangedPending = false;
};

class TCollection;

class TCollectionItem : public TPersistent {
 public:
  VX_CLASS_NAME("TCollectionItem")
  TCollection* Collection() const { return FCollection; }
  // Position in the owning collection, -1 when it belongs to none.
  int Index() const;

 private:
  friend class TCollection;
  TCollection* FCollection = nullptr;
};

// An ordered list that owns its items; descendants choose the item class by
// overriding CreateItem.
class TCollection : public TPersistent {
 public:
  TCollection() = default;
  ~TCollection() override = default;
  TCollection(const TCollection&) = delete;
  TCollection& operator=(const TCollection&) = delete;
  VX_CLASS_NAME("TCollection")

  int Count() const { return static_cast<int>(FItems.size()); }
  // Raises EListError for an index out of range.
  TCollectionItem* GetItem(int Index) const;
  TCollectionItem* AddItem();
  void Delete(int Index);
  void Clear();
  int IndexOf(const TCollectionItem* Item) const;
  // Empties the list and copies each item of Source, in order.
  void Assign(const TPersistent& Source) override;

  void BeginUpdate() { ++FUpdateCount; }
  void EndUpdate();
  TNotifyEvent OnChanged;

 protected:
  virtual std::unique_ptr<TCollectionItem> CreateItem() const;
  void Changed();

 private:
  std::vector<std::unique_ptr<TCollectionItem>> FItems;
  int FUpdateCount = 0;
  bool FChangedPending = false;
};

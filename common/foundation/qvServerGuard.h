// Connection and login guard: black and white lists of peer addresses, a limit
// on the connections of one address within a time window, locked user names,
// and a growing wait after each failed login. A TCP server asks CheckConnection
// for every accepted peer; a protocol server asks CheckLogin after its password
// check and uses the answer instead. Any thread may call the checks: each runs
// under the guard lock, taken after the caller's locks, and every event fires
// under it (handlers must not call back into the server). The failed-login
// sleep runs after the lock is released, on the calling thread. Addresses are
// compared and reported in canonical text ("::ffff:1.2.3.4" as "1.2.3.4");
// text that is no address is used as given. Records live in memory only and
// user records never expire by age. Raises nothing itself; handler and
// injected-function exceptions pass through.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "ClassCore.h"
#include "StringList.h"

// How many connections one address may open within Period milliseconds.
class TqvGuardConnectionLimit : public TPersistent {
 public:
  VX_CLASS_NAME("TqvGuardConnectionLimit")
  int Max() const { return FMax; }
  void SetMax(int Value) { FMax = Value; }
  int Period() const { return FPeriod; }
  void SetPeriod(int Value) { FPeriod = Value; }
  // Copies both values from another limit; raises EConvertError for another kind.
  void Assign(const TPersistent& Source) override;

 private:
  int FMax = 6;
  int FPeriod = 60000;
};

// The wait after a failed login: Min + a random part below Max - Min (IsRandom),
// plus the previous wait and Increment (IsIncremental). Max bounds only the
// random part. All in milliseconds.
class TqvGuardLoginDelay : public TPersistent {
 public:
  VX_CLASS_NAME("TqvGuardLoginDelay")
  int Max() const { return FMax; }
  void SetMax(int Value) { FMax = Value; }
  int Increment() const { return FIncrement; }
  void SetIncrement(int Value) { FIncrement = Value; }
  int Min() const { return FMin; }
  void SetMin(int Value) { FMin = Value; }
  bool IsIncremental() const { return FIsIncremental; }
  void SetIsIncremental(bool Value) { FIsIncremental = Value; }
  bool IsRandom() const { return FIsRandom; }
  void SetIsRandom(bool Value) { FIsRandom = Value; }
  // Copies all five values; raises EConvertError for another kind.
  void Assign(const TPersistent& Source) override;

 private:
  int FMax = 5000;
  int FIncrement = 1000;
  int FMin = 10;
  bool FIsIncremental = true;
  bool FIsRandom = true;
};

// One address's connections in the current window; Time is the tick of the
// window's first check.
class TqvGuardConnectionInfo : public TObject {
 public:
  VX_CLASS_NAME("TqvGuardConnectionInfo")
  std::string IP;
  int Port = 0;
  uint32_t Time = 0;
  int Count = 0;
};

// Failed logins of one user name from one address; Delay is the last wait given.
class TqvGuardUserInfo : public TqvGuardConnectionInfo {
 public:
  VX_CLASS_NAME("TqvGuardUserInfo")
  std::string UserName;
  int Delay = 0;
};

// An owning list of records in creation order. A pointer from Add or Items is
// valid until that record is deleted or the list cleared.
template <class T>
class TqvGuardRecordList : public TObject {
 public:
  int Count() const { return static_cast<int>(FItems.size()); }
  // Index must be in range (assertion).
  T* Items(int Index) const {
    Assert(Index >= 0 && Index < Count());
    return FItems[static_cast<size_t>(Index)].get();
  }
  T* Add() { return FItems.emplace_back(std::make_unique<T>()).get(); }
  void Delete(int Index) {
    Assert(Index >= 0 && Index < Count());
    FItems.erase(FItems.begin() + Index);
  }
  void Clear() { FItems.clear(); }

 private:
  std::vector<std::unique_ptr<T>> FItems;
};

class TqvGuardConnectionInfoList : public TqvGuardRecordList<TqvGuardConnectionInfo> {
 public:
  VX_CLASS_NAME("TqvGuardConnectionInfoList")
};

class TqvGuardUserInfoList : public TqvGuardRecordList<TqvGuardUserInfo> {
 public:
  VX_CLASS_NAME("TqvGuardUserInfoList")
};

// ATime is the tick of the check: the full tick for connection checks, its low
// 16 bits for login checks. A handler that sets Handled decides with Allowed.
using TqvGuardCanConnectEvent = std::function<void(TObject* Sender, const std::string& AIP, int APort,
                                                   uint32_t ATime, bool& Allowed, bool& Handled)>;
using TqvGuardConnectionEvent =
    std::function<void(TObject* Sender, const std::string& AIP, int APort, uint32_t ATime)>;
using TqvGuardUserEvent = std::function<void(TObject* Sender, const std::string& AUserName,
                                             const std::string& AIP, int APort, uint32_t ATime)>;
using TqvGuardCanLoginEvent =
    std::function<void(TObject* Sender, const std::string& AUserName, const std::string& AIP, int APort,
                       uint32_t ATime, bool& Allowed, bool& Handled)>;
// AUser still holds the previous Delay; a handler that sets Handled gives the wait.
using TqvGuardGetDelayEvent =
    std::function<void(TObject* Sender, TqvGuardUserInfo* AUser, int& ADelay, bool& Handled)>;

// Injected time, randomness and waiting, so tests need no real clock.
using TqvGuardTickSource = std::function<uint32_t()>;
// A value in 0 .. ARange - 1 (ARange > 0).
using TqvGuardRandomSource = std::function<uint32_t(uint32_t ARange)>;
using TqvGuardSleeper = std::function<void(uint32_t AMilliseconds)>;

class TqvServerGuard : public TComponent {
 public:
  // The stored wait never passes this, however many failures pile up.
  static constexpr int kMaxLoginDelay = INT32_MAX;

  // Seeds the guard's own random generator.
  explicit TqvServerGuard(TComponent* AOwner = nullptr);
  VX_CLASS_NAME("TqvServerGuard")

  // False refuses the peer. APort is the server's own port.
  [[nodiscard]] virtual bool CheckConnection(const std::string& AIP, int APort);
  // ASuccess is the password check's result; the answer replaces it. A failure
  // sleeps the computed wait (after releasing the lock) before returning.
  [[nodiscard]] virtual bool CheckLogin(const std::string& AUserName, bool ASuccess, int APort,
                                        const std::string& AIP);
  // Forgets every connection and user record, without events.
  virtual void Reset();

  bool EnableLoginCheck() const;
  void SetEnableLoginCheck(bool Value);
  bool EnableConnectCheck() const;
  void SetEnableConnectCheck(bool Value);
  bool AllowWhiteListOnly() const;
  void SetAllowWhiteListOnly(bool Value);

  // The references are for configuring the guard before checks start; the
  // setters copy under the lock and may be used at any time. Lines compare
  // case-insensitively; an IP line matches the address itself, the same
  // address in another spelling, or "a.b.c.*" for a.b.c.d.
  TStringList& LockedUsers() { return FLockedUsers; }
  void SetLockedUsers(const TStrings& Value);
  TStringList& BlackIPList() { return FBlackIPList; }
  void SetBlackIPList(const TStrings& Value);
  TStringList& WhiteIPList() { return FWhiteIPList; }
  void SetWhiteIPList(const TStrings& Value);
  TqvGuardLoginDelay& LoginDelay() { return FLoginDelay; }
  void SetLoginDelay(const TqvGuardLoginDelay& Value);
  TqvGuardConnectionLimit& ConnectionLimit() { return FConnectionLimit; }
  void SetConnectionLimit(const TqvGuardConnectionLimit& Value);

  // Copies of the records, taken under the lock, in creation order.
  [[nodiscard]] std::vector<TqvGuardConnectionInfo> ConnectionRecords() const;
  [[nodiscard]] std::vector<TqvGuardUserInfo> UserRecords() const;

  // Null restores the default (platform tick, own generator, real sleep).
  void SetTickSource(TqvGuardTickSource Value);
  void SetRandomSource(TqvGuardRandomSource Value);
  void SetSleeper(TqvGuardSleeper Value);

  TqvGuardCanConnectEvent OnCanConnect;
  TqvGuardUserEvent OnAddUser;
  TqvGuardConnectionEvent OnAllowConnection;
  // Reports the record that expired: its address, port and window start.
  TqvGuardConnectionEvent OnRemoveConnection;
  TqvGuardConnectionEvent OnBlockConnection;
  TqvGuardUserEvent OnLockUser;
  TqvGuardCanLoginEvent OnCanLogin;
  TqvGuardConnectionEvent OnAddConnection;
  TqvGuardGetDelayEvent OnGetDelay;
  TqvGuardUserEvent OnRemoveUser;

 private:
  // Both under FLock.
  bool CheckLoginLocked(const std::string& AUserName, bool ASuccess, int APort, const std::string& AIP,
                        int& ADelay);
  int ComputeDelay(TqvGuardUserInfo& AUser);
  uint32_t Tick() const;
  uint32_t RandomBelow(uint32_t ARange);
  void SetFlag(bool& AField, bool Value);
  void SetList(TStringList& AField, const TStrings& Value);

  // Re-entered by an event handler (events fire under it) that reads the
  // guard's settings or records.
  mutable std::recursive_mutex FLock;
  TqvGuardUserInfoList FUsers;
  TqvGuardConnectionInfoList FConnections;
  bool FEnableLoginCheck = true;
  bool FEnableConnectCheck = true;
  bool FAllowWhiteListOnly = false;
  TStringList FLockedUsers;
  TStringList FBlackIPList;
  TStringList FWhiteIPList;
  TqvGuardLoginDelay FLoginDelay;
  TqvGuardConnectionLimit FConnectionLimit;
  TqvGuardTickSource FTickSource;
  TqvGuardRandomSource FRandomSource;
  TqvGuardSleeper FSleeper;
  std::mt19937 FRandom;
};

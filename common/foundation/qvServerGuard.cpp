#include "qvServerGuard.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

#include "MessageLoop.h"

namespace {

// A peer address as the guard compares it. Kept private so the guard can move
// to the socket layer's address type without touching its callers.
struct GuardAddress {
  int Family = AF_INET;
  std::array<uint8_t, 16> Bytes{};
  bool operator==(const GuardAddress&) const = default;
};

std::optional<GuardAddress> ParseAddress(const std::string& AText) {
  GuardAddress a;
  if (inet_pton(AF_INET, AText.c_str(), a.Bytes.data()) == 1) return a;
  if (inet_pton(AF_INET6, AText.c_str(), a.Bytes.data()) != 1) return std::nullopt;
  a.Family = AF_INET6;
  // A v4 peer seen through a dual-stack socket is the v4 address.
  static constexpr uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (std::memcmp(a.Bytes.data(), kMapped, sizeof kMapped) == 0) {
    std::memmove(a.Bytes.data(), a.Bytes.data() + 12, 4);
    std::fill(a.Bytes.begin() + 4, a.Bytes.end(), 0);
    a.Family = AF_INET;
  }
  return a;
}

std::string AddressText(const GuardAddress& A) {
  char buf[INET6_ADDRSTRLEN] = {};
  if (!inet_ntop(A.Family, A.Bytes.data(), buf, sizeof buf)) return {};
  return buf;
}

// The canonical text of an address, or the text itself when it is none.
std::string CanonicalIP(const std::string& AIP) {
  auto a = ParseAddress(AIP);
  return a ? AddressText(*a) : AIP;
}

bool ListMatches(const TStrings& AList, const std::string& AIP) {
  if (AList.IndexOf(AIP) >= 0) return true;
  auto dot = AIP.rfind('.');
  if (dot != std::string::npos && AList.IndexOf(AIP.substr(0, dot) + ".*") >= 0) return true;
  // A line may spell the same address differently ("2001:DB8:0::1").
  auto a = ParseAddress(AIP);
  if (!a) return false;
  for (int i = 0; i < AList.Count(); ++i) {
    auto line = ParseAddress(AList.Strings(i));
    if (line && *line == *a) return true;
  }
  return false;
}

void Fire(const TqvGuardConnectionEvent& AEvent, TObject* Sender, const std::string& AIP, int APort,
          uint32_t ATime) {
  if (AEvent) AEvent(Sender, AIP, APort, ATime);
}

void Fire(const TqvGuardUserEvent& AEvent, TObject* Sender, const std::string& AUserName,
          const std::string& AIP, int APort, uint32_t ATime) {
  if (AEvent) AEvent(Sender, AUserName, AIP, APort, ATime);
}

}  // namespace

void TqvGuardConnectionLimit::Assign(const TPersistent& Source) {
  auto* src = dynamic_cast<const TqvGuardConnectionLimit*>(&Source);
  if (!src) {
    TPersistent::Assign(Source);
    return;
  }
  FMax = src->FMax;
  FPeriod = src->FPeriod;
}

void TqvGuardLoginDelay::Assign(const TPersistent& Source) {
  auto* src = dynamic_cast<const TqvGuardLoginDelay*>(&Source);
  if (!src) {
    TPersistent::Assign(Source);
    return;
  }
  FMax = src->FMax;
  FIncrement = src->FIncrement;
  FMin = src->FMin;
  FIsIncremental = src->FIsIncremental;
  FIsRandom = src->FIsRandom;
}

TqvServerGuard::TqvServerGuard(TComponent* AOwner) : TComponent(AOwner), FRandom(std::random_device{}()) {}

bool TqvServerGuard::CheckConnection(const std::string& AIP, int APort) {
  std::scoped_lock lock(FLock);
  if (!FEnableConnectCheck) return true;
  const uint32_t time = Tick();
  const std::string ip = CanonicalIP(AIP);

  if (OnCanConnect) {
    bool allowed = false, handled = false;
    OnCanConnect(this, ip, APort, time, allowed, handled);
    if (handled) return allowed;
  }
  if (ip.empty() || ListMatches(FBlackIPList, ip)) {
    Fire(OnBlockConnection, this, ip, APort, time);
    return false;
  }
  if (ListMatches(FWhiteIPList, ip)) {
    Fire(OnAllowConnection, this, ip, APort, time);
    return true;
  }
  if (FAllowWhiteListOnly) return false;

  TqvGuardConnectionInfo* found = nullptr;
  for (int i = FConnections.Count() - 1; i >= 0; --i) {
    TqvGuardConnectionInfo* rec = FConnections.Items(i);
    // Unsigned difference: the tick wraps every 49 days.
    if (static_cast<int64_t>(time - rec->Time) >= FConnectionLimit.Period()) {
      const TqvGuardConnectionInfo gone = *rec;
      FConnections.Delete(i);
      Fire(OnRemoveConnection, this, gone.IP, gone.Port, gone.Time);
    } else if (rec->IP == ip) {
      found = rec;
    }
  }
  if (!found) {
    found = FConnections.Add();
    found->IP = ip;
    found->Port = APort;
    found->Time = time;
    Fire(OnAddConnection, this, ip, APort, time);
  }
  // Refused attempts count as well, so a flood keeps itself locked out.
  if (found->Count < INT32_MAX) ++found->Count;
  if (found->Count > FConnectionLimit.Max()) {
    Fire(OnBlockConnection, this, ip, APort, time);
    return false;
  }
  Fire(OnAllowConnection, this, ip, APort, time);
  return true;
}

bool TqvServerGuard::CheckLogin(const std::string& AUserName, bool ASuccess, int APort, const std::string& AIP) {
  int delay = 0;
  bool result;
  TqvGuardSleeper sleeper;
  {
    std::scoped_lock lock(FLock);
    if (!FEnableLoginCheck) return ASuccess;
    result = CheckLoginLocked(AUserName, ASuccess, APort, CanonicalIP(AIP), delay);
    if (delay > 0) sleeper = FSleeper;
  }
  // Outside the lock: other sessions keep being checked while this one waits.
  if (delay > 0) {
    if (sleeper)
      sleeper(static_cast<uint32_t>(delay));
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  }
  return result;
}

bool TqvServerGuard::CheckLoginLocked(const std::string& AUserName, bool ASuccess, int APort,
                                      const std::string& AIP, int& ADelay) {
  const uint32_t time = Tick() & 0xFFFF;
  if (OnCanLogin) {
    bool allowed = false, handled = false;
    OnCanLogin(this, AUserName, AIP, APort, time, allowed, handled);
    if (handled) return allowed;
  }
  if (ListMatches(FBlackIPList, AIP)) {
    Fire(OnBlockConnection, this, AIP, APort, time);
    return false;
  }
  if (FLockedUsers.IndexOf(AUserName) >= 0) {
    Fire(OnLockUser, this, AUserName, AIP, APort, time);
    return false;
  }

  TqvGuardUserInfo* found = nullptr;
  for (int i = FUsers.Count() - 1; i >= 0; --i) {
    TqvGuardUserInfo* rec = FUsers.Items(i);
    if (rec->UserName != AUserName || rec->IP != AIP) continue;
    if (ASuccess) {
      const TqvGuardUserInfo gone = *rec;
      FUsers.Delete(i);
      Fire(OnRemoveUser, this, gone.UserName, gone.IP, gone.Port, gone.Time);
    } else {
      found = rec;
    }
  }
  if (ASuccess) return true;

  if (!found) {
    found = FUsers.Add();
    found->UserName = AUserName;
    found->IP = AIP;
    found->Port = APort;
    found->Time = time;
    Fire(OnAddUser, this, AUserName, AIP, APort, time);
  }
  ADelay = ComputeDelay(*found);
  found->Delay = ADelay;
  return false;
}

int TqvServerGuard::ComputeDelay(TqvGuardUserInfo& AUser) {
  int64_t delay = 0;
  bool handled = false;
  if (OnGetDelay) {
    int given = 0;
    OnGetDelay(this, &AUser, given, handled);
    if (handled) delay = given;
  }
  if (!handled) {
    const int64_t lo = FLoginDelay.Min(), hi = FLoginDelay.Max();
    if (FLoginDelay.IsRandom() && lo < hi) delay = lo + RandomBelow(static_cast<uint32_t>(hi - lo));
    if (FLoginDelay.IsIncremental()) delay += int64_t{AUser.Delay} + FLoginDelay.Increment();
  }
  // In 64 bits and clamped: a wrapped negative wait would skip the sleep.
  return static_cast<int>(std::clamp<int64_t>(delay, 0, kMaxLoginDelay));
}

void TqvServerGuard::Reset() {
  std::scoped_lock lock(FLock);
  FUsers.Clear();
  FConnections.Clear();
}

uint32_t TqvServerGuard::Tick() const { return FTickSource ? FTickSource() : plat::GetTickCount(); }

uint32_t TqvServerGuard::RandomBelow(uint32_t ARange) {
  if (FRandomSource) return FRandomSource(ARange) % ARange;
  return std::uniform_int_distribution<uint32_t>(0, ARange - 1)(FRandom);
}

bool TqvServerGuard::EnableLoginCheck() const {
  std::scoped_lock lock(FLock);
  return FEnableLoginCheck;
}

void TqvServerGuard::SetEnableLoginCheck(bool Value) { SetFlag(FEnableLoginCheck, Value); }

bool TqvServerGuard::EnableConnectCheck() const {
  std::scoped_lock lock(FLock);
  return FEnableConnectCheck;
}

void TqvServerGuard::SetEnableConnectCheck(bool Value) { SetFlag(FEnableConnectCheck, Value); }

bool TqvServerGuard::AllowWhiteListOnly() const {
  std::scoped_lock lock(FLock);
  return FAllowWhiteListOnly;
}

void TqvServerGuard::SetAllowWhiteListOnly(bool Value) { SetFlag(FAllowWhiteListOnly, Value); }

void TqvServerGuard::SetFlag(bool& AField, bool Value) {
  {
    std::scoped_lock lock(FLock);
    if (AField == Value) return;
    AField = Value;
  }
  Changed();
}

void TqvServerGuard::SetList(TStringList& AField, const TStrings& Value) {
  {
    std::scoped_lock lock(FLock);
    if (&AField == &Value || AField.Equals(Value)) return;
    AField.Assign(Value);
  }
  Changed();
}

void TqvServerGuard::SetLockedUsers(const TStrings& Value) { SetList(FLockedUsers, Value); }
void TqvServerGuard::SetBlackIPList(const TStrings& Value) { SetList(FBlackIPList, Value); }
void TqvServerGuard::SetWhiteIPList(const TStrings& Value) { SetList(FWhiteIPList, Value); }

void TqvServerGuard::SetLoginDelay(const TqvGuardLoginDelay& Value) {
  {
    std::scoped_lock lock(FLock);
    const TqvGuardLoginDelay& d = FLoginDelay;
    if (d.Max() == Value.Max() && d.Increment() == Value.Increment() && d.Min() == Value.Min() &&
        d.IsIncremental() == Value.IsIncremental() && d.IsRandom() == Value.IsRandom())
      return;
    FLoginDelay.Assign(Value);
  }
  Changed();
}

void TqvServerGuard::SetConnectionLimit(const TqvGuardConnectionLimit& Value) {
  {
    std::scoped_lock lock(FLock);
    if (FConnectionLimit.Max() == Value.Max() && FConnectionLimit.Period() == Value.Period()) return;
    FConnectionLimit.Assign(Value);
  }
  Changed();
}

std::vector<TqvGuardConnectionInfo> TqvServerGuard::ConnectionRecords() const {
  std::scoped_lock lock(FLock);
  std::vector<TqvGuardConnectionInfo> out;
  for (int i = 0; i < FConnections.Count(); ++i) out.push_back(*FConnections.Items(i));
  return out;
}

std::vector<TqvGuardUserInfo> TqvServerGuard::UserRecords() const {
  std::scoped_lock lock(FLock);
  std::vector<TqvGuardUserInfo> out;
  for (int i = 0; i < FUsers.Count(); ++i) out.push_back(*FUsers.Items(i));
  return out;
}

void TqvServerGuard::SetTickSource(TqvGuardTickSource Value) {
  std::scoped_lock lock(FLock);
  FTickSource = std::move(Value);
}

void TqvServerGuard::SetRandomSource(TqvGuardRandomSource Value) {
  std::scoped_lock lock(FLock);
  FRandomSource = std::move(Value);
}

void TqvServerGuard::SetSleeper(TqvGuardSleeper Value) {
  std::scoped_lock lock(FLock);
  FSleeper = std::move(Value);
}

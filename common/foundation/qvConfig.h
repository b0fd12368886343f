// The configuration registry: names mapped to classes, so that algorithms can
// be chosen by the names in a header (DKIM creates its hash, key and
// canonicalisation objects this way), beside a list of name=value settings.
// Names match without regard to ASCII case, in the order of registration.
// Not locked: each owner uses its own instance from one thread at a time.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ClassCore.h"
#include "StringList.h"

class TqvConfigObject : public TObject {
 public:
  TqvConfigObject() = default;
  VX_CLASS_NAME("TqvConfigObject")
};

// A class reference: makes a new object of the class.
using TqvConfigObjectClass = std::unique_ptr<TqvConfigObject> (*)();

template <class T>
std::unique_ptr<TqvConfigObject> CreateConfigObject() {
  return std::make_unique<T>();
}

class TqvConfig : public TObject {
 public:
  TqvConfig();
  VX_CLASS_NAME("TqvConfig")

  // The value of AName in Settings, "" when absent.
  [[nodiscard]] virtual std::string GetValue(const std::string& AName) const;
  // A new object of the class registered under AName; null when none is.
  [[nodiscard]] virtual std::unique_ptr<TqvConfigObject> CreateInstance(const std::string& AName) const;
  // Registers or replaces a name; null removes it.
  void SetType(const std::string& AName, TqvConfigObjectClass AClass);

  TStringList& Settings() { return FSettings; }

 private:
  [[nodiscard]] int IndexOfType(const std::string& AName) const;

  TStringList FSettings;
  std::vector<std::pair<std::string, TqvConfigObjectClass>> FTypes;
};

#include "qvConfig.h"

#include "AsciiText.h"

TqvConfig::TqvConfig() { FSettings.SetNameValueSeparator('='); }

std::string TqvConfig::GetValue(const std::string& AName) const { return FSettings.Values(AName); }

int TqvConfig::IndexOfType(const std::string& AName) const {
  for (size_t i = 0; i < FTypes.size(); ++i)
    if (plat::AsciiSameText(FTypes[i].first, AName)) return static_cast<int>(i);
  return -1;
}

std::unique_ptr<TqvConfigObject> TqvConfig::CreateInstance(const std::string& AName) const {
  const int i = IndexOfType(AName);
  if (i < 0 || !FTypes[static_cast<size_t>(i)].second) return nullptr;
  return FTypes[static_cast<size_t>(i)].second();
}

void TqvConfig::SetType(const std::string& AName, TqvConfigObjectClass AClass) {
  const int i = IndexOfType(AName);
  if (AClass) {
    if (i < 0) FTypes.emplace_back(AName, AClass);
    else FTypes[static_cast<size_t>(i)].second = AClass;
  } else if (i >= 0) {
    FTypes.erase(FTypes.begin() + i);
  }
}

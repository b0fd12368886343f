#include "qvWUtils.h"

void ToAnsiString(const std::string& ASource, std::string& ADest) { ADest = ASource; }

std::string PCharToString(const char* AText) { return AText ? std::string(AText) : std::string(); }

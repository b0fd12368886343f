// The twelve built-in charset tables of TqvTranslator, in their lookup order
// (the first name that matches wins). Generated data: see the .cpp.
#pragma once

#include "qvTranslator.h"

#include <array>
#include <cstddef>

namespace qv_translator_detail {

constexpr size_t kCharSetTableCount = 12;
extern const std::array<TqvCharsetTable, kCharSetTableCount> kCharSetTables;

}  // namespace qv_translator_detail

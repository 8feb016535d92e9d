// What tabulon-repair prints about one workbook.
#pragma once

#include <string>

#include "repair_workbook.h"

namespace tabulon::cli {

// One readable line (without the line break) for a workbook that did not fail.
std::string DescribeResult(const WorkbookResult& result);

// One JSON object on one line (without the line break).
std::string ResultToJson(const WorkbookResult& result);

// Text as a JSON string literal; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(const std::string& text);

}  // namespace tabulon::cli

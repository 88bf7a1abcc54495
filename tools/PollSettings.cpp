#include "tools/PollSettings.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <sstream>

namespace kelda::host {

namespace {

constexpr double kInt32Low = std::numeric_limits<int32_t>::min();
constexpr double kInt32High = std::numeric_limits<int32_t>::max();

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// Letters to change, add or drop to turn one key into the other, letter case ignored.
std::size_t Distance(const std::string& a, const std::string& b) {
  const std::string x = Lower(a), y = Lower(b);
  std::vector<std::size_t> row(y.size() + 1);
  for (std::size_t j = 0; j <= y.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= x.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= y.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[y.size()];
}

std::optional<double> Parse(const TModuleSetting& setting, const std::string& text) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  if (setting.Kind == TModuleSetting::Integer) {
    int64_t value = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
      begin += 2;  // the store reads "0x" as hexadecimal
      base = 16;
    }
    const auto [at, error] = std::from_chars(begin, end, value, base);
    if (text.empty() || error != std::errc() || at != end) return std::nullopt;
    return static_cast<double>(value);
  }
  // A number is written with a point, as the store writes one.
  char* at = nullptr;
  const std::string copy(text);
  const double value = std::strtod(copy.c_str(), &at);
  if (copy.empty() || at != copy.c_str() + copy.size() || !std::isfinite(value) ||
      copy.find_first_of(" \t") != std::string::npos)
    return std::nullopt;
  return value;
}

std::string Number(double value) {
  std::ostringstream text;
  text.precision(15);
  text << value;
  return text.str();
}

std::string Wanted(const TModuleSetting& setting) {
  if (setting.Kind == TModuleSetting::Integer && setting.Low == 0 && setting.High == 1)
    return "0 (off) or 1 (on)";
  const std::string range = "from " + Number(setting.Low) + " to " + Number(setting.High);
  return (setting.Kind == TModuleSetting::Integer ? "a whole number " : "a number ") + range;
}

const TModuleSetting* Find(const std::string& key) {
  for (const TModuleSetting& setting : ModuleSettingTable())
    if (Lower(setting.Key) == Lower(key)) return &setting;
  return nullptr;
}

std::string KnownKeys() {
  std::string text;
  for (const TModuleSetting& setting : ModuleSettingTable()) {
    if (setting.Instead || !setting.Property[0]) continue;
    text += (text.empty() ? "\"" : ", \"") + std::string(setting.Key) + "\"";
  }
  return text;
}

std::string UnknownKey(const std::string& key) {
  const TModuleSetting* nearest = nullptr;
  std::size_t best = 4;  // more changes than this is another word, not a slip
  for (const TModuleSetting& setting : ModuleSettingTable()) {
    const std::size_t distance = Distance(key, setting.Key);
    if (distance < best) {
      best = distance;
      nearest = &setting;
    }
  }
  std::string text = "the module has no setting \"" + key + "\"";
  if (nearest) text += " (did you mean \"" + std::string(nearest->Key) + "\"?)";
  return text + "; its settings are " + KnownKeys();
}

}  // namespace

const std::vector<TModuleSetting>& ModuleSettingTable() {
  static const std::vector<TModuleSetting> table = {
      {"Left", "Left", TModuleSetting::Integer, kInt32Low, kInt32High, nullptr},
      {"Top", "Top", TModuleSetting::Integer, kInt32Low, kInt32High, nullptr},
      {"Height", "Height", TModuleSetting::Integer, kInt32Low, kInt32High, nullptr},
      {"Width", "Width", TModuleSetting::Integer, kInt32Low, kInt32High, nullptr},
      {"Parser config", "lblParams_Caption", TModuleSetting::Text, 0, 0, "--config FILE"},
      {"Open files dir", "OpenDialog_FileName", TModuleSetting::Text, 0, 0, nullptr},
      {"Save files dir", "SaveDialog_FileName", TModuleSetting::Text, 0, 0, nullptr},
      {"Min interval", "spMinInt_Value", TModuleSetting::Number, 0, 65535, nullptr},
      {"Local address", "spLocalAddress_Value", TModuleSetting::Number, 0, 65535, nullptr},
      // In the store's map, but the module keeps no such setting: a value there is never read.
      {"Remote address", "", TModuleSetting::Number, 0, 0, nullptr},
      {"CPU rack", "", TModuleSetting::Number, 0, 0, nullptr},
      {"CPU slot", "", TModuleSetting::Number, 0, 0, nullptr},
      {"Proto", "comboProto_ItemIndex", TModuleSetting::Integer, 0, 3, "--protocol"},
      {"Keep session", "chkKeepSession_Checked", TModuleSetting::Integer, 0, 1, nullptr},
      {"Send when ready", "chkSendWhenReady_Checked", TModuleSetting::Integer, 0, 1, nullptr},
      {"Handshake timeout", "spHandshakeTimeout_Value", TModuleSetting::Number, 1, 65535, nullptr},
      {"Retries", "spRetries_Value", TModuleSetting::Integer, 0, 255, nullptr},
      {"Demote after", "spDemoteAfter_Value", TModuleSetting::Integer, 0, 65535, nullptr},
      {"Demote for", "spDemoteFor_Value", TModuleSetting::Number, 1, 3600000, nullptr},
  };
  return table;
}

TSettingCheck CheckModuleSettings(const std::vector<std::pair<std::string, std::string>>& given) {
  TSettingCheck check;
  for (const auto& [key, value] : given) {
    const std::string where = "--setting \"" + key + "=" + value + "\": ";
    const TModuleSetting* setting = Find(key);
    if (!setting) {
      check.Problems.push_back(where + UnknownKey(key));
      continue;
    }
    if (setting->Instead) {
      check.Problems.push_back(where + "the poller sets \"" + setting->Key + "\" itself; use " +
                               setting->Instead);
      continue;
    }
    if (!setting->Property[0]) {
      check.Problems.push_back(where + "\"" + setting->Key +
                               "\" is in the settings store's map, but the module keeps no such setting and "
                               "never reads it; its settings are " +
                               KnownKeys());
      continue;
    }
    if (setting->Kind != TModuleSetting::Text) {
      const std::optional<double> number = Parse(*setting, value);
      if (!number || *number < setting->Low || *number > setting->High) {
        check.Problems.push_back(where + "\"" + setting->Key + "\" takes " + Wanted(*setting) + ", not \"" +
                                 value + "\"");
        continue;
      }
    }
    check.Settings.emplace_back(setting->Key, value);
  }
  return check;
}

}  // namespace kelda::host

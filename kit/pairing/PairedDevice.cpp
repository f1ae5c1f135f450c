#include "kit/pairing/PairedDevice.h"

#include <cstdio>

namespace brindlet {
namespace {

bool readDigits(std::string_view text, std::size_t at, std::size_t count, int& value) {
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

}  // namespace

std::string iso8601String(Date date) {
  using namespace std::chrono;
  auto seconds = floor<std::chrono::seconds>(date);
  auto days = floor<std::chrono::days>(seconds);
  year_month_day ymd(days);
  hh_mm_ss time(seconds - days);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

std::optional<Date> parseISO8601(std::string_view text) {
  using namespace std::chrono;
  // YYYY-MM-DDTHH:MM:SSZ
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':' ||
      text[19] != 'Z')
    return std::nullopt;
  int y, mo, d, h, mi, s;
  if (!readDigits(text, 0, 4, y) || !readDigits(text, 5, 2, mo) || !readDigits(text, 8, 2, d) ||
      !readDigits(text, 11, 2, h) || !readDigits(text, 14, 2, mi) || !readDigits(text, 17, 2, s))
    return std::nullopt;
  year_month_day ymd{year(y), month(static_cast<unsigned>(mo)), day(static_cast<unsigned>(d))};
  if (!ymd.ok() || h > 23 || mi > 59 || s > 59) return std::nullopt;
  // Counted in whole seconds first: a Date counts nanoseconds and holds only about 1678 to
  // 2262, so a year outside that is refused rather than wrapped into another date.
  sys_seconds whole = sys_days(ymd) + hours(h) + minutes(mi) + seconds(s);
  if (whole < ceil<seconds>(Date::min()) || whole > floor<seconds>(Date::max())) return std::nullopt;
  return time_point_cast<Date::duration>(whole);
}

}  // namespace brindlet

// mbox.cpp - splits an mbox file into its messages.
#include "mbox.h"

namespace eml {

bool IsMboxSeparator(std::string_view line) {
  if (line.size() < 20 || line.compare(0, 5, "From ") != 0) return false;
  static const char* const kDays[] = {"Mon ", "Tue ", "Wed ", "Thu ", "Fri ", "Sat ", "Sun "};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  size_t sender_end = line.find(' ', 5);
  if (sender_end == std::string_view::npos || sender_end == 5) return false;
  std::string_view rest = line.substr(sender_end);
  for (const char* d : kDays) {
    size_t at = rest.find(d);
    if (at == std::string_view::npos) continue;
    std::string_view after = rest.substr(at + 4);
    for (const char* m : kMonths)
      if (after.compare(0, 3, m) == 0) return rest.find(':') != std::string_view::npos;
  }
  return false;
}

void SplitMbox(std::string_view data, std::vector<MboxMessage>& out) {
  size_t nl = data.find('\n');
  std::string_view first_line = data.substr(0, nl == std::string_view::npos ? data.size() : nl);
  if (!first_line.empty() && first_line.back() == '\r') first_line.remove_suffix(1);
  if (!IsMboxSeparator(first_line)) {
    out.push_back(MboxMessage{0, data.size()});
    return;
  }
  size_t start = 0, pos = nl == std::string_view::npos ? data.size() : nl + 1;
  while (pos < data.size()) {
    size_t e = data.find('\n', pos);
    size_t end = e == std::string_view::npos ? data.size() : e;
    std::string_view line = data.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() >= 5 && line[0] == 'F' && IsMboxSeparator(line)) {
      out.push_back(MboxMessage{start, pos - start});
      start = pos;
    }
    pos = e == std::string_view::npos ? data.size() : e + 1;
  }
  out.push_back(MboxMessage{start, data.size() - start});
}

}  // namespace eml

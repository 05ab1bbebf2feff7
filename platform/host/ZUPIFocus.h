// The process's platform focus (instance name), set first by both init
// operations.
#ifndef ZUCLOUD_PLATFORM_ZUPI_FOCUS_H
#define ZUCLOUD_PLATFORM_ZUPI_FOCUS_H

#include <string>

class ZUPI_Focus {
 public:
  static void setFocus(const char* focus);  // null counts as ""
  static std::string getFocus();
};

#endif  // ZUCLOUD_PLATFORM_ZUPI_FOCUS_H

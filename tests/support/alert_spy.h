// Catches the alerts that rules show, so that tests can assert on them and nothing blocks.
//
// On Windows the spy replaces MessageBoxA in the import tables of the test program (which links
// the common code) and of each library given to it. On Linux it takes the write calls to standard
// error that ShowAlert makes. One spy may be active at a time.
#ifndef TXSCREEN_TESTS_SUPPORT_ALERT_SPY_H_
#define TXSCREEN_TESTS_SUPPORT_ALERT_SPY_H_

#include <initializer_list>
#include <string>
#include <vector>

namespace testing_support {

struct Alert {
  std::string text;
  // What reached the platform: the message box's arguments, or the bytes of one write.
  const void* owner = nullptr;
  bool has_caption = false;
  unsigned type = 0;
  std::string written;
};

class AlertSpy {
 public:
  // `libraries` holds native handles of loaded rule libraries whose alerts are caught as well;
  // they must stay loaded until the spy is gone.
  explicit AlertSpy(std::initializer_list<void*> libraries = {});
  ~AlertSpy();
  AlertSpy(const AlertSpy&) = delete;
  AlertSpy& operator=(const AlertSpy&) = delete;

  std::vector<Alert> alerts() const;
  std::vector<std::string> texts() const;
  void Clear();

 private:
  std::vector<void*> patched_;
};

}  // namespace testing_support

#endif  // TXSCREEN_TESTS_SUPPORT_ALERT_SPY_H_

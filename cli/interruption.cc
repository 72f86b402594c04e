#include "cli/interruption.h"

#include <iostream>

#include "component/error.h"

namespace bk::cli {

int Interruption::Status() const {
  const int signal_number = InterruptWatch::LastSignal();
  return 128 + (signal_number != 0 ? signal_number : 2);
}

void Interruption::Restart() {
  base_ = InterruptWatch::Count();
  told_ = stopped_ = false;
}

void Interruption::ThrowIfAny() const {
  if (count() != 0) throw Error::Standard(errnum::kUserInterrupt).Kind(ErrorKind::kIncomplete);
}

restore::RunHooks Interruption::Restoring(ProgressDisplay& display, const std::string& resume) {
  // Told as soon as it is seen, also in the middle of a large file.
  const auto check = [this, resume] {
    const int n = count();
    if (n >= 1 && !told_) {
      told_ = true;
      std::cerr << "brightkeep: interrupted: finishing the restore, so that no file is left half put back;"
                   " interrupt again to stop it between two files (" << resume << " then finishes it)\n";
    }
    stopped_ = stopped_ || n >= 2;
    return stopped_;
  };
  restore::RunHooks hooks;
  hooks.progress = [&display, check](const Progress& p) {
    display.Update(p);
    check();
  };
  hooks.stop = check;
  return hooks;
}

}  // namespace bk::cli

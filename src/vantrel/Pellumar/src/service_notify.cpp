#include "service_notify.h"

#ifdef VANTREL_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace vantrel::pellumar::detail {

void notify_service([[maybe_unused]] const char* state) noexcept {
#ifdef VANTREL_HAVE_SYSTEMD
    // The environment is left as it is: the notify socket stays valid for every later line.
    (void)sd_notify(0, state);
#endif
}

}  // namespace vantrel::pellumar::detail

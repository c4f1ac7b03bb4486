// What the console tells a service manager that started it with a notify socket (systemd's
// Type=notify): that collection runs, that its loop is alive, that it stops. Started any other
// way, these calls do nothing.
#pragma once

namespace vantrel::pellumar::detail {

// Sends one state line ("READY=1", "WATCHDOG=1", "STOPPING=1"); never throws and never fails
// the caller: a manager that cannot be told is no reason to stop collecting.
void notify_service(const char* state) noexcept;

}  // namespace vantrel::pellumar::detail

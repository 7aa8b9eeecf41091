// The rights check of FilePermissions_win.cpp over a security descriptor,
// for the tests: Wine keeps no access list of its own on a file, so they
// build the descriptors themselves.
#pragma once

#include "platform/Text_win.h"

namespace adv::platform::win {

// Who other than the administrators, the system, TrustedInstaller and `self`
// (the user running this program) owns what `descriptor` guards or may
// write it: the first such SID, else nullptr. No access list at all lets
// everyone in: Everyone's SID (static). Inherit-only entries do not apply
// to the object itself; deny entries are not weighed.
PSID nonAdminWriter(PSECURITY_DESCRIPTOR descriptor, PSID self);

// The rights an elevated run gives the folders it creates: administrators
// and the system write, users read and enter, nothing comes from above.
inline constexpr const wchar_t* kAdminsOnlyFolder = L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)";

}  // namespace adv::platform::win

#include "platform/screen/DisplayPower.h"

#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>

namespace brindlet::platform {

std::optional<bool> monitorsAreAsleep(const std::string& displayName) {
    Display* display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
    if (!display) return std::nullopt;
    std::optional<bool> asleep;
    int event = 0, error = 0;
    if (DPMSQueryExtension(display, &event, &error) && DPMSCapable(display)) {
        CARD16 level = DPMSModeOn;
        BOOL enabled = False;
        if (DPMSInfo(display, &level, &enabled)) asleep = enabled && level != DPMSModeOn;
    }
    XCloseDisplay(display);
    return asleep;
}

} // namespace brindlet::platform

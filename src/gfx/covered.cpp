// Whether the window is fully covered by others. X11 without a compositor says so with
// VisibilityNotify events, which SDL does not pass on by itself: the window is asked for them
// and they arrive as SDL's window-system events. Elsewhere (Windows, Wayland, a compositing
// desktop) nothing reports it, and a window is never taken for covered.
#include "gfx/state.h"

#include <SDL_syswm.h>

namespace gfx {

#if defined(SDL_VIDEO_DRIVER_X11)

void watch_covering(SDL_Window* window) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11) return;
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(info.info.x11.display, info.info.x11.window, &attributes)) return;
    // Added to what SDL asked for: the mask is per client and window, and SDL's is in it.
    XSelectInput(info.info.x11.display, info.info.x11.window,
                 attributes.your_event_mask | VisibilityChangeMask);
    SDL_EventState(SDL_SYSWMEVENT, SDL_ENABLE);
}

bool covering_event(const SDL_Event& e, bool& covered) {
    if (e.type != SDL_SYSWMEVENT || !e.syswm.msg || e.syswm.msg->subsystem != SDL_SYSWM_X11) return false;
    const XEvent& x = e.syswm.msg->msg.x11.event;
    if (x.type != VisibilityNotify) return false;
    covered = x.xvisibility.state == VisibilityFullyObscured;
    return true;
}

#else

void watch_covering(SDL_Window*) {}
bool covering_event(const SDL_Event&, bool&) { return false; }

#endif

}  // namespace gfx

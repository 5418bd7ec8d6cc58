// The host's X11 window: SDL takes no input from a window it did not make, so the player
// asks for the events it draws by (size and exposure), and for mouse presses when the host
// does not take them itself (only one client may).
#include "Player/PlayerEngine.h"

#include <SDL2/SDL_syswm.h>

#ifdef QM_HAVE_X11
#include <X11/Xlib.h>
#endif

namespace qm {

void TPlayerEngine::SelectHostWindowEvents(SDL_Window* AWindow) {
#ifdef QM_HAVE_X11
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!ff::SDL_GetWindowWMInfo(AWindow, &info) || info.subsystem != SDL_SYSWM_X11)
        return;
    Display* display = info.info.x11.display;
    const Window window = info.info.x11.window;
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, window, &attributes))
        return;
    long mask = attributes.your_event_mask | StructureNotifyMask | ExposureMask;
    if (!(attributes.all_event_masks & ButtonPressMask))
        mask |= ButtonPressMask | ButtonReleaseMask;
    XSelectInput(display, window, mask);
    XFlush(display);
#else
    (void)AWindow;
#endif
}

} // namespace qm

// A probe preloaded into the real launcher by scripts/bench (LD_PRELOAD), so that the launcher
// is measured as shipped, with no hook of its own: it wraps the calls that put a frame on the
// screen (SDL_RenderPresent, and for the software renderer SDL_UpdateWindowSurface and
// SDL_UpdateWindowSurfaceRects), writes the
// wall-clock time of the first presented frame (nanoseconds since 1970) to the file named by
// TARNWICK_PROBE, and at exit appends how many frames were presented in all and when the last
// one was. These show whether a minimised window really stops drawing.
#include <dlfcn.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

struct SDL_Renderer;
struct SDL_Window;
struct SDL_Rect;

namespace {

std::atomic<long> presented{0};
std::atomic<long long> last{0};

long long now_ns() {
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

void note(const char* format, long long value) {
    const char* path = std::getenv("TARNWICK_PROBE");
    if (!path) return;
    if (FILE* f = std::fopen(path, "a")) {
        std::fprintf(f, format, value);
        std::fclose(f);
    }
}

struct At_Exit {
    ~At_Exit() {
        note("frames %lld\n", presented.load());
        note("last %lld\n", last.load());
    }
} at_exit;

void presented_now() {
    long long t = now_ns();
    if (presented++ == 0) note("first %lld\n", t);
    last = t;
}

template <typename F>
F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" void SDL_RenderPresent(SDL_Renderer* renderer) {
    using Present = void (*)(SDL_Renderer*);
    static Present next = real<Present>("SDL_RenderPresent");
    presented_now();
    next(renderer);
}

extern "C" int SDL_UpdateWindowSurface(SDL_Window* window) {
    using Update = int (*)(SDL_Window*);
    static Update next = real<Update>("SDL_UpdateWindowSurface");
    presented_now();
    return next(window);
}

extern "C" int SDL_UpdateWindowSurfaceRects(SDL_Window* window, const SDL_Rect* rects, int count) {
    using Update = int (*)(SDL_Window*, const SDL_Rect*, int);
    static Update next = real<Update>("SDL_UpdateWindowSurfaceRects");
    presented_now();
    return next(window, rects, count);
}

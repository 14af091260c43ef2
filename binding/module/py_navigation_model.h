// The trampoline through which native code reaches a Python subclass's overrides.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "model/navigation_model.h"

class PyNavigationModel : public NavigationModel {
public:
    PyNavigationModel(bool multiThreaded, int options);
    ~PyNavigationModel() override;

    // Each overridable method looks for a Python override; without one a pure
    // method raises the pure-virtual error and a default one runs NavigationModel's.
#define ZIBREL_PY_OVERRIDE_pure PYBIND11_OVERRIDE_PURE
#define ZIBREL_PY_OVERRIDE_default PYBIND11_OVERRIDE
#define ZIBREL_TRAMPOLINE(pos, id, text, type, access, iface, T, M, getter, get, gk, gn, setter, set, sk, sn) \
    ZIBREL_IF_SERVED(gk, std::optional<M> get() const override {                                          \
        ZIBREL_PY_OVERRIDE_##gk(std::optional<M>, NavigationModel, get, );                                  \
    })                                                                                                      \
    ZIBREL_IF_SERVED(sk, void set(M value) override { ZIBREL_PY_OVERRIDE_##sk(void, NavigationModel, set, value); })
    ZIBREL_SERVED_PROPERTIES(ZIBREL_TRAMPOLINE)
#undef ZIBREL_TRAMPOLINE
#undef ZIBREL_PY_OVERRIDE_pure
#undef ZIBREL_PY_OVERRIDE_default

    // Closes every connection of a live model and waits for the callbacks in
    // progress; run at interpreter exit, while library threads can still take the
    // interpreter lock to finish.
    static void DetachAll();

    // In the child of a fork: the calls of threads that did not come along are over.
    static void ForgetCallsOfOtherThreads();
};

// The arrows from this module to its Python siblings: every module and function it calls, in one table.
#pragma once

#include "refs.hpp"

#include <cstddef>
#include <initializer_list>

namespace ruk {

// The sibling modules: identifier, module, then what it is used for. The one
// arrow back: archive_build, the archive builder, a program of its own,
// imports this module's LocalStrategy to start the driver it archives.
#define RUK_SIBLING_MODULES(X)                                                                       \
    X(base_module, "ruk.compute.strategies.base")                  /* LocalStrategy's base class */  \
    X(exceptions_module, "ruk_common.exceptions")                  /* RukRuntimeError */             \
    X(java_compat_module, "ruk.compute.java_compat")               /* the Java check */              \
    X(jar_provisioning_module, "ruk.compute.jar_provisioning")     /* the project's JARs */          \
    X(mur_home_module, "ruk.compute.host.home")                    /* ~/.mur and its JAR folder */   \
    X(driver_archive_module, "ruk.compute.archive.request")        /* archive builds */              \
    X(jvm_settings_module, "ruk.compute.start.jvm_settings")       /* a running JVM; warnings */     \
    X(session_extensions_module, "ruk.compute.start.extensions")   /* Spark ML's functions */        \
    X(launch_plan_module, "ruk.compute.start.plan")                /* what a start does */           \
    X(driver_launch_module, "ruk.compute.start.launch")            /* the JVM a start launches */    \
    X(spare_module, "ruk.compute.spare")                           /* spare driver JVMs */

// Every callable of a sibling the extension calls, typed by the number of
// positional arguments it is called with (-1: a class, called by keyword):
// identifier, module (above), name, arguments, caller.
#define RUK_SIBLING_CALLS(X)                                                                              \
    X(get_pyspark_info, java_compat_module, "get_pyspark_info", 0)                   /* java_env.cpp */     \
    X(find_all_java_installations, java_compat_module, "find_all_java_installations", 0) /* java_env */     \
    X(select_best_java, java_compat_module, "select_best_java", 2)                   /* java_env.cpp */     \
    X(find_project_jars, jar_provisioning_module, "find_project_jars", 1)            /* services.cpp */     \
    X(LocalJARProvisioning, jar_provisioning_module, "LocalJARProvisioning", -1)     /* services.cpp */     \
    X(mur_directory, mur_home_module, "mur_directory", 1)                            /* launch_settings */  \
    X(jar_cache_directory, mur_home_module, "jar_cache_directory", 0)                /* launch_settings */  \
    X(archive_after_start, driver_archive_module, "after_start", 2)                  /* launch_settings */  \
    X(warn_unapplied_settings, jvm_settings_module, "warn_unapplied_settings", 2)    /* sessions.cpp */     \
    X(stop_reused_session, jvm_settings_module, "stop_reused_session", 1)            /* sessions.cpp */     \
    X(context_without_jsc, jvm_settings_module, "context_without_jsc", 1)            /* sessions.cpp */     \
    X(ml_after_start, session_extensions_module, "after_start", 0)                   /* sessions.cpp */     \
    X(on_reuse, session_extensions_module, "on_reuse", 0)                            /* sessions.cpp */     \
    X(on_ml_import, session_extensions_module, "on_ml_import", 0)                    /* import_watch.cpp */ \
    X(add_java_flags, launch_plan_module, "add_java_flags", 0)                       /* launch_settings */  \
    X(start_plan, launch_plan_module, "start_plan", 5)                               /* sessions.cpp */     \
    X(launch, driver_launch_module, "launch", 4)                                     /* driver_launch.cpp */\
    X(end_launch, driver_launch_module, "end_launch", 2)                             /* driver_launch.cpp */\
    X(claim_spare, spare_module, "claim", 3)                                         /* driver_launch.cpp */\
    X(offer_spare, spare_module, "offer", 2)                                         /* driver_launch.cpp */\
    X(without_interrupt_log, driver_launch_module, "without_interrupt_log", 1)       /* console_capture */

enum class Sibling : int {
#define RUK_SIBLING_ENUM(ident, module, name, arguments) ident,
    RUK_SIBLING_CALLS(RUK_SIBLING_ENUM)
#undef RUK_SIBLING_ENUM
    count
};

inline constexpr int sibling_arguments[] = {
#define RUK_SIBLING_ARGUMENTS(ident, module, name, arguments) arguments,
    RUK_SIBLING_CALLS(RUK_SIBLING_ARGUMENTS)
#undef RUK_SIBLING_ARGUMENTS
};

// `from <module> import <name>, ...` for callables of one sibling module, as
// one statement: out[i] gets each, in order. A function is checked, once per
// function object, to take the positional arguments the table gives; a
// mismatch is a TypeError naming both sides, raised before anything is
// called. -1 with the error set; out[] is then left empty.
int import_siblings(PyObject* globals, std::initializer_list<Sibling> which, Ref* out) noexcept;

// A call of a sibling's callable, with as many arguments as the table says.
template <Sibling which, class... Args>
Ref call_sibling(PyObject* function, Args... args) noexcept {
    static_assert(sibling_arguments[static_cast<int>(which)] == static_cast<int>(sizeof...(Args)),
                  "a sibling is called with the number of arguments its table row gives");
    PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
    return Ref::steal(PyObject_Vectorcall(function, argv + 1,
                                          sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Builds the interned names of the table; -1 with an exception set.
int init_sibling_names() noexcept;

}  // namespace ruk

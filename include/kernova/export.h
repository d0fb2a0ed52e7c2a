/*
 * Marks the functions that a library exports by name: the core's exports and the plug-ins'
 * entry points. Everything else stays inside its library. Exports use the C calling
 * convention, so their names are undecorated on every build.
 */
#ifndef KERNOVA_EXPORT_H
#define KERNOVA_EXPORT_H

#if defined(_WIN32)
#define KERNOVA_VISIBLE __declspec(dllexport)
#else
#define KERNOVA_VISIBLE __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define KERNOVA_EXPORT extern "C" KERNOVA_VISIBLE
#else
#define KERNOVA_EXPORT KERNOVA_VISIBLE
#endif

#endif

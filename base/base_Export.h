#ifndef BASE_EXPORT_H
#define BASE_EXPORT_H

/* The one export macro: everything the library builds is hidden unless marked with it. */
#if defined(_WIN32)
#if defined(QORKEL_BUILDING)
#define QORKEL_API __declspec(dllexport)
#elif defined(QORKEL_STATIC)
#define QORKEL_API
#else
#define QORKEL_API __declspec(dllimport)
#endif
#else
#define QORKEL_API __attribute__((visibility("default")))
#endif

#endif

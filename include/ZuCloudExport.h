/// @file ZuCloudExport.h
/// @brief Symbol visibility for the zucloud shared library.
///
/// The library is built with -fvisibility=hidden; only declarations marked
/// ZUCLOUD_EXPORT (the two service classes, the URL encoders and the
/// progress callback setter) are visible to a host program.
#ifndef ZUCLOUD_EXPORT_H
#define ZUCLOUD_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
/// Marks a declaration as part of the library's exported interface.
#define ZUCLOUD_EXPORT __attribute__((visibility("default")))
#else
#define ZUCLOUD_EXPORT
#endif

#endif  // ZUCLOUD_EXPORT_H

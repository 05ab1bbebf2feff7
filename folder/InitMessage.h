// Why the last init() of a folder service object failed, for the host to
// read: init() has no message argument, and the object's size is part of
// the library's binary interface (a host allocates it with the size its
// headers gave), so the text is kept beside the object, not in it.
#ifndef ZUCLOUD_FOLDER_INIT_MESSAGE_H
#define ZUCLOUD_FOLDER_INIT_MESSAGE_H

#include <string>

namespace zu::folder {

// Keeps `message` as the last init() outcome of `service` ("" after a
// success); the text of an object replaces its earlier one.
void RememberInitMessage(const void* service, const std::wstring& message);
// The kept text, or "" when there is none.
std::wstring InitMessageOf(const void* service);
// Drops the text of an object that goes away.
void ForgetInitMessage(const void* service);

}  // namespace zu::folder

#endif  // ZUCLOUD_FOLDER_INIT_MESSAGE_H

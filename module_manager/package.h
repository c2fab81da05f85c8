// The package download's libcurl write callback: the received bytes go
// straight into the open package file.
#ifndef MODULE_MANAGER_PACKAGE_H
#define MODULE_MANAGER_PACKAGE_H

#include <cstddef>
#include <cstdio>

// One fwrite of the chunk into stream; returns what fwrite returns, so a short
// write (a full disk) ends the transfer with libcurl's write error.
size_t WriteToFile(void* data, size_t size, size_t nmemb, FILE* stream);

#endif

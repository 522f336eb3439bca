#pragma once
// The IP Helper declarations with the Winsock types they need, in the order mingw-w64 wants.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <netioapi.h>

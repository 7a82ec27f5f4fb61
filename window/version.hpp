// The program's version, in the one place the version record and the code take it from.
#pragma once

#define QUORVEL_VERSION_MAJOR 2
#define QUORVEL_VERSION_MINOR 0
#define QUORVEL_VERSION_PATCH 1
#define QUORVEL_VERSION_BUILD 0
#define QUORVEL_VERSION_TEXT "2.01"

// AS number to name, loaded once at start-up from the AS name file.
#pragma once

#include "viewer/viewer.h"

#ifndef NELK_ASN_FILE
#define NELK_ASN_FILE "/usr/local/share/nelk/asnc.txt"
#endif

// Loads the installed AS name file into the table. 0 when read to its end,
// 1 when loading stopped at a bad entry (or the file could not be opened).
int Init_ASN_Lookups(asn_table& table);

// Loads the given file into the table, replacing whatever it held.
int load_asn_file(asn_table& table, const char* path);

// The name of AS number (0 to 4294967295), or "<unknown>".
const char* asn_name(const asn_table& table, long long number);

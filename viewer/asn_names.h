// AS number to name, loaded once at start-up from the AS name file.
#pragma once

#ifndef NELK_ASN_FILE
#define NELK_ASN_FILE "/usr/local/share/nelk/asnc.txt"
#endif

// Loads the installed AS name file. 0 when read to its end, 1 when loading
// stopped at a bad entry (or the file could not be opened).
int Init_ASN_Lookups();

// Loads the given file into a fresh table, replacing any earlier one.
int load_asn_file(const char* path);

// The name of AS number (0 to 65535), or "<unknown>".
const char* asn_name(int number);

// Directory parts of 8-bit paths.
//
// Paths are in the system's ANSI code page. Under a double-byte code page (936)
// the trail byte of a character can be 0x5C or 0x2F, so the scan steps over
// whole characters when given the code page's lead-byte test.
#pragma once

#include <string>

using LeadByteTest = bool (*)(unsigned char);

// Up to and including the last backslash; empty without one.
std::string DirectoryUpToLastBackslash(const std::string& path, LeadByteTest isLeadByte = nullptr);

// Up to and including the last backslash, or else the last forward slash;
// empty when the path has neither.
std::string GetDirectoryOfPath(const std::string& path, LeadByteTest isLeadByte = nullptr);

// Lead bytes of code page 936 (GBK): 0x81 to 0xFE.
bool IsGbkLeadByte(unsigned char byte);

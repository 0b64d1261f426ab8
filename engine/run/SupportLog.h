// A small record for support teams: one line per event with its time, in
// "Updater.log" in the install folder (or, where that folder cannot be
// written, in the user's temporary folder). It keeps the last 256 KB and one
// older file ("Updater.log.old"). Nothing in it may stop an update: a line
// that cannot be written is dropped. Lines are UTF-8 (a path in one is
// written with fw::Utf8), so that any folder's name reads as it is.
#pragma once

#include <string>

constexpr char kSupportLogName[] = "Updater.log";

// Appends one line, printf-style, to the log of the install folder `folder`.
void SupportLog(const std::wstring& folder, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Where the lines of `folder` go when the folder itself cannot be written.
std::wstring FallbackSupportLogPath();

// A program with more rights than its users (the update service) logs to
// one file of its own, never to a folder's log or the temporary folder,
// where a user could have put a link. Called once, before any thread starts.
void SendSupportLogOnlyTo(const std::wstring& path);

#pragma once
// The daemon's file log: one dated file per set-up, every blog line to the debugger output,
// error/warning/info lines time-stamped into the file.
#include <cstdarg>
#include <fstream>
#include <string>

// Opens a new log file "<config>/<folder><date time>.txt" on logFile (which must outlive the
// process's logging) and installs FileLogHandler. folder ends with a path separator.
// Logs "Failed to open log file" at level 100 when the file cannot be opened.
void InstallFileLog(std::fstream &logFile, const char *folder);
// Log handler; param is the std::fstream given to InstallFileLog.
void FileLogHandler(int level, const char *format, va_list args, void *param);
// Writes message as stamped lines; its line breaks are overwritten with terminators.
void WriteStampedLines(std::fstream &logFile, char *message);
// Local time of day, "HH:MM:SS.mmm".
std::string LogTimeStamp();
// "YYYY-MM-DD hh-mm-ss.<extension>" from the local date and time.
std::string MakeLogFileName(const char *extension);
// Bare file name of the log of the latest set-up; "" before the first.
const char *CurrentLogFileName();

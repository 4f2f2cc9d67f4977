// A section's summary: the record a filmer writes at the start of each Demo stream file.
#pragma once

#include <string>

// Reads the summary line of Section, '"SECTION",summary', from the Demo stream file at Path
// into Line; an empty file gives the column headings. False when the record holds no summary.
// Raises EFOpenError when the file cannot be read.
bool ReadSectionSummary(const std::string& path, int section, std::string& line);

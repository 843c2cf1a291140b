// The demo's timeline under the keyboard: its section table as the vertex
// stage declares it.
#pragma once

#include <string>
#include <vector>

// The numbers of a constant such as "const float NAME = 1.0;" or
// "const float NAME[N] = float[](1.0, 2.0);" in a shader text; none when the
// text has no such constant or a value that is not a plain number.
std::vector<double> shaderConstant(const std::string& text, const std::string& name);

// Tempo and section starts in bars, four beats to the bar; the last start is
// where the score ends.
struct SectionTable {
    double beatsPerMinute = 0;
    std::vector<double> bars;
};

// The table of "mosaic.vert"'s BEATS_PER_MINUTE and SECTION_BARS; false when
// they are missing, the tempo is not positive or the starts do not rise from 0.
bool readSectionTable(const std::string& vertexText, SectionTable& table);

double barSeconds(const SectionTable& table);
int partCount(const SectionTable& table);
// The part that `seconds` falls in, the last for any time past its start.
int partAt(const SectionTable& table, double seconds);
// Where part `part` starts; past the last part, where the score ends.
double partStart(const SectionTable& table, int part);

// "part 3/8, bar 9, beat 2": parts, bars and beats counted from 1.
std::string position(const SectionTable& table, double seconds);

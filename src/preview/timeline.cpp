#include "timeline.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

static std::string trimmed(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t\r\n");
    size_t last = text.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

std::vector<double> shaderConstant(const std::string& text, const std::string& name)
{
    const std::string declaration = "const float " + name;
    size_t at = text.find(declaration);
    // SECTION_BARS must not be found inside SECTION_BARS_EXTRA.
    while (at != std::string::npos) {
        char next = text[at + declaration.size()];
        if (next == ' ' || next == '[' || next == '=')
            break;
        at = text.find(declaration, at + 1);
    }
    if (at == std::string::npos)
        return {};
    size_t from = text.find('=', at);
    size_t to = text.find(';', at);
    if (from == std::string::npos || to == std::string::npos || from > to)
        return {};
    std::string value = text.substr(from + 1, to - from - 1);
    if (size_t open = value.find('('); open != std::string::npos) {
        size_t close = value.rfind(')');
        if (close == std::string::npos || close < open)
            return {};
        value = value.substr(open + 1, close - open - 1);
    }
    std::vector<double> numbers;
    size_t start = 0;
    while (start <= value.size()) {
        size_t comma = std::min(value.find(',', start), value.size());
        std::string item = trimmed(value.substr(start, comma - start));
        char* end = nullptr;
        double number = std::strtod(item.c_str(), &end);
        if (item.empty() || *end != '\0' || !std::isfinite(number))
            return {};
        numbers.push_back(number);
        start = comma + 1;
    }
    return numbers;
}

bool readSectionTable(const std::string& vertexText, SectionTable& table)
{
    std::vector<double> tempo = shaderConstant(vertexText, "BEATS_PER_MINUTE");
    std::vector<double> bars = shaderConstant(vertexText, "SECTION_BARS");
    if (tempo.size() != 1 || !(tempo[0] > 0) || bars.size() < 2 || bars[0] != 0)
        return false;
    for (size_t i = 1; i < bars.size(); ++i)
        if (!(bars[i] > bars[i - 1]))
            return false;
    table.beatsPerMinute = tempo[0];
    table.bars = bars;
    return true;
}

double barSeconds(const SectionTable& table)
{
    return 4 * 60 / table.beatsPerMinute;
}

int partCount(const SectionTable& table)
{
    return static_cast<int>(table.bars.size()) - 1;
}

int partAt(const SectionTable& table, double seconds)
{
    double bar = seconds / barSeconds(table);
    int part = 0;
    while (part + 1 < partCount(table) && bar >= table.bars[part + 1])
        ++part;
    return part;
}

double partStart(const SectionTable& table, int part)
{
    int index = std::clamp(part, 0, partCount(table));
    return table.bars[index] * barSeconds(table);
}

std::string position(const SectionTable& table, double seconds)
{
    double beats = std::max(seconds, 0.0) / barSeconds(table) * 4;
    long beat = static_cast<long>(std::floor(beats));
    char text[96];
    std::snprintf(text, sizeof text, "part %d/%d, bar %ld, beat %ld", partAt(table, seconds) + 1,
                  partCount(table), beat / 4 + 1, beat % 4 + 1);
    return text;
}

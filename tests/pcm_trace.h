// Expected checkpoint lines of the conversion, in order.
#pragma once

#include <string>
#include <vector>

inline std::string trace_lines(const std::vector<int>& checkpoints)
{
    std::string s;
    for (int c : checkpoints)
        s += "pcmtool.cpp:" + std::to_string(c) + "\n";
    return s;
}

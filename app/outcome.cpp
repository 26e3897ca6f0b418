#include "app/outcome.h"

#include "platform/console.h"
#include "platform/runtime.h"

#include <cstdio>

void PrintLine(OutcomeFields fields, const char* format, const OutcomeDetails& details) {
    switch (fields) {
    case OutcomeFields::None:
        PrintConsoleLine("%s", format);
        return;
    case OutcomeFields::BaseAndFirstChunk:
        PrintConsoleLine(format, details.baseName, details.firstChunk);
        return;
    case OutcomeFields::Base:
        PrintConsoleLine(format, details.baseName);
        return;
    case OutcomeFields::Chunk:
        PrintConsoleLine(format, static_cast<int>(details.chunk));
        return;
    case OutcomeFields::Output:
        PrintConsoleLine(format, details.outputName);
        return;
    case OutcomeFields::BaseAndChunk:
        PrintConsoleLine(format, details.baseName, static_cast<int>(details.chunk));
        return;
    }
}

void PrintOutcome(Outcome outcome, const OutcomeDetails& details) {
    const OutcomeLine& line = kOutcomeLines[static_cast<std::size_t>(outcome)];
    PrintLine(line.fields, line.format, details);
}

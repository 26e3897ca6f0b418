#include "app/outcome.h"

#include "platform/console.h"
#include "platform/runtime.h"

#include <cstdio>

void PrintOutcome(Outcome outcome, const OutcomeDetails& details) {
    const OutcomeLine& line = kOutcomeLines[static_cast<std::size_t>(outcome)];
    switch (line.fields) {
    case OutcomeFields::None:
        PrintConsoleLine("%s", line.format);
        return;
    case OutcomeFields::BaseAndFirstChunk:
        PrintConsoleLine(line.format, details.baseName, details.firstChunk);
        return;
    case OutcomeFields::Base:
        PrintConsoleLine(line.format, details.baseName);
        return;
    case OutcomeFields::Chunk:
        PrintConsoleLine(line.format, static_cast<int>(details.chunk));
        return;
    case OutcomeFields::Output:
        PrintConsoleLine(line.format, details.outputName);
        return;
    }
}

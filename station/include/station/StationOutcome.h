// How the station decides from a job's typed outcome: the error code of the row (and of the JSON
// `error`, and of the record). The command-line tool's single-port decision for the same outcome
// is CliConnectDecision; tests/station/OutcomeDecisionTest.cpp holds both against one table.
#pragma once

#include "download/JobOutcome.h"
#include "station/StationEngine.h"

// The row's error for an outcome. A port that was stopped meanwhile turns a failure of the link
// or the target into STATION_ERR_STOPPED on top of this.
TE_STATION_ERROR StationErrorFor(const TS_JOB_OUTCOME& outcome);

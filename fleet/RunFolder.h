#pragma once
// The run folder in the archive and what goes into it before any register
// is touched: <Archive>/<YYYY-MM-DD>/<HHMMSS>-<host>-<job name>/ with the
// job as run (job.ini), a copy of the driver with the INI it runs with
// (driver/), and a copy of every send step's file (input/).
#include <string>

#include "fleet/JobFile.h"

class DriverIni;

// The archive folder: absolute, or relative to the job file's folder.
std::string ArchivePath(const Job& job);
// FleetError when the archive is a file, cannot be created or written, or
// has less room than the job asks for.
void CheckArchive(const std::string& archive, int minFreeMegabytes);
// Creates a new run folder (never an existing one) and returns its path.
std::string CreateRunFolder(const std::string& archive, const std::string& jobName);
// Fills a new run folder; FleetError when a copy fails.
void PrepareRunFolder(const std::string& runDir, const Job& job, const std::string& driverPath, const DriverIni& ini);

std::string RunDriverPath(const std::string& runDir);
std::string RunIniPath(const std::string& runDir);
std::string RunJobPath(const std::string& runDir);
// The copy of a send step's file that every attempt of the step sends.
std::string SnapshotPath(const std::string& runDir, const JobStep& step);
// The file name the driver gets in the attempt folder.
std::string StepFileName(const JobStep& step);
// The driver beside this program.
std::string DefaultDriverPath();

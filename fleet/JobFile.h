#pragma once
// The job file: which registers, which steps, where the results go and how
// failures are repeated. INI style, read strictly: an unknown section or
// key, a bad value or a line that is not "key = value" is an error.
#include <string>
#include <vector>

#include "fleet/Operations.h"

class DriverIni;

struct JobStep {
    int number = 0;             // the key in [Steps]; steps run in this order
    int typedCommand = 0;       // as written; the driver gets this number
    std::string file;           // as written; "" for a command without file
    int verifyStep = 0;         // verify=<step>: the send this read is compared with
    CommandInfo command;        // filled by ValidateJob
    std::string Label() const;  // "<step>-<command>", the step's folder name
};

struct Job {
    std::string path;     // the job file
    std::string baseDir;  // relative paths in the job start here
    std::string text;     // the file as read
    std::string name;
    std::vector<int> registers;
    std::string archive;
    int parallel = 4;
    int retries = 2;
    int retryDelay = 30;  // seconds
    int statusRequired = 1;
    int stepTimeout = 1800;  // seconds, 0: none
    int minFreeMegabytes = 100;
    std::vector<JobStep> steps;

    const JobStep* FindStep(int number) const;
};

// Reads and parses a job; FleetError names the file and line of a fault.
Job LoadJob(const std::string& path);
Job ParseJob(const std::string& text, const std::string& path);
// Checks the job against the driver's INI: every register has its section,
// every command exists and has the file it needs, verify= names an earlier
// send; with `sendFilesPresent`, every file to send exists. FleetError on
// the first fault.
void ValidateJob(Job& job, const DriverIni& ini, bool sendFilesPresent = true);
// "1-3, 5" as register numbers; FleetError on a bad item or a register named twice.
std::vector<int> ParseRegisterList(const std::string& text);
// Path of a send step's file as the job names it.
std::string SendFilePath(const Job& job, const JobStep& step);

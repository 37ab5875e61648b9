#pragma once

// Runs the key-pair program that lies beside the client and reads the two keys it prints.

#include <QString>

struct KeyPairRun
{
    enum class Outcome {
        Made,          // both keys present
        ProgramFailed, // missing, too slow, crashed or a non-zero exit code; keys not read
        KeysMissing,   // ran fine but printed no usable pair; keys hold what it printed
    };
    Outcome outcome = Outcome::ProgramFailed;
    QString privateKey;
    QString publicKey;
};

namespace KeyPairProgram {
inline constexpr char FileName[] = "pairgen.exe";
inline constexpr int StartTimeoutMs = 3000;
inline constexpr int FinishTimeoutMs = 5000;
} // namespace KeyPairProgram

// The program's path beside the running client.
QString keyPairProgramPath();

KeyPairRun runKeyPairProgram(const QString &programPath);

#include <trel/ibacktracegenerator.h>

IBacktraceGenerator::~IBacktraceGenerator() = default;

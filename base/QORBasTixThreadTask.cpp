#include "base/QORBasTixThreadTask.h"

QORBasTixThreadTask::~QORBasTixThreadTask() = default;

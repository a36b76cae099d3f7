// Whether the zelclient that wrote a state file still runs: the one question
// zelstatus asks the system itself.
#pragma once

namespace zs {

// True while process pid runs and is a zelclient. A number now used by another
// program (given again after the machine restarted) or a process that has ended
// but was not yet collected by its parent counts as gone. A process of another
// account that the system will not describe counts as running. pid must be > 0.
bool zelclient_running(long pid);

}  // namespace zs

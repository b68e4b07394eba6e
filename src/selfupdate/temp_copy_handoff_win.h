#pragma once

namespace vesk::updater {

// When "VESK_Updater_temp.exe" waits in the install directory, starts the console updater elevated and
// hidden there so that it replaces this program after it has ended. True when it was started and the
// program must now end; false when there is nothing to hand over or the start failed (both logged).
bool runTempCopyHandoff();

} // namespace vesk::updater

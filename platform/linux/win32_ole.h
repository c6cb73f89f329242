// The in-process server protocol of ole32 as the Linux build sees it.
#pragma once

#include "buffer/buffer_notify.h"

void FinishLoad(const TBufferNotify &notify, bool silent, bool overflow, const std::string &note)
{
    if (notify.RefreshEditWindow)
        notify.RefreshEditWindow();
    if (!silent && overflow && notify.ShowNote)
        notify.ShowNote("Note", note);
}

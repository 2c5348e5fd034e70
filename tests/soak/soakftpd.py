# SPDX-License-Identifier: GPL-3.0-or-later
"""tests/support/ftpserver.py for the soak, with one repair.

FaultyDTPHandler sets its own attributes only after pyftpdlib's DTPHandler
constructor has run; when the data connection is already reset at that
point, the constructor closes the handler, close() reads an attribute that
does not exist yet, and the exception later stops the whole server. The
soak resets data connections as soon as they open, so it gives the
attributes class-level defaults. Same options as ftpserver.py.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import ftpserver  # noqa: E402

ftpserver.FaultyDTPHandler._cut_at = None
ftpserver.FaultyDTPHandler._reported = False

if __name__ == "__main__":
    ftpserver.main()

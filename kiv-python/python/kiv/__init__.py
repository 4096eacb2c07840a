"""Read Apple installer media without mounting anything.

Disk images (".dmg"), the HFS+/HFSX or APFS volume inside, XAR archives and
".pkg" installer packages, PBZX payloads and the CPIO archives they carry.
"""

from kiv._kiv import *  # noqa: F401,F403
from kiv._kiv import __doc__ as _native_doc  # noqa: F401

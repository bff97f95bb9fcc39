"""Report pages: one self-contained HTML file per analysed recording, to hear
the beats as clicks over the music while seeing where they fall, and an
index page over the pages of a batch."""

from .audio import encode_audio
from .html import (
    IndexEntry,
    build_page,
    index_page,
    page_data,
    size_limit,
    tempo_curve,
    write_page,
)

__all__ = ["IndexEntry", "build_page", "encode_audio", "index_page", "page_data", "size_limit",
           "tempo_curve", "write_page"]

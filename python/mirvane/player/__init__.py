"""A live replay, watched and steered: the playback clock and what drives or shows it
(the browser page and its server, plots, the state inspector, terminal keys, Foxglove)."""

"""The ``.qlm`` file: the container header as the tools check it
(container_header), the index after the units (index), the JSON metadata
(metadata), and whole signals written and read as such files (signal_files)."""

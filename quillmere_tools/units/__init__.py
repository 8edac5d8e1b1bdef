"""Channel units: one channel coded and decoded (channel), many on a thread
pool (many), the smallest one that meets a set of bounds (target), and
bounds that hold over a recording as written back (stored_bounds)."""

"""kelmora: behaviour trees run concurrently, one worker thread per tree."""

# krel_video: defined here once its sources exist.

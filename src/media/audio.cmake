# krel_audio: defined here once its sources exist.

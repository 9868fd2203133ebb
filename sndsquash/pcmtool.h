// sndsquash's conversion pipeline, conditioning stages and ADPCM encoder.
#pragma once

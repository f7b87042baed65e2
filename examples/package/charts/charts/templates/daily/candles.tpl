template=candles
period=1d
colours=green,red

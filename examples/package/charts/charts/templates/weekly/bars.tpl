template=bars
period=1w
